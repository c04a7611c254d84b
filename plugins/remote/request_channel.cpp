#include "request_channel.hpp"

#include "link.hpp"

#include <zmq_addon.hpp>

#include <vector>

namespace vorn::remote {

using Clock = std::chrono::steady_clock;

RequestChannel::RequestChannel(zmq::context_t &context, const RemoteOptions &options)
    : context_(context), options_(options), socket_(connect_dealer(context, options)) {}

void RequestChannel::set_session(std::uint64_t session, std::uint64_t key) {
    std::lock_guard lock(mutex_);
    session_ = session;
    session_key_ = key;
}

// Most replies come within a loopback or LAN round trip: looking for one without sleeping saves
// the wake-up of this thread, a good part of a short round trip. Bounded, so a slow request
// costs little CPU.
void RequestChannel::await_briefly() {
    const auto until = Clock::now() + busy_wait;
    while ((socket_.get(zmq::sockopt::events) & ZMQ_POLLIN) == 0 && Clock::now() < until) {
    }
}

void RequestChannel::abandon() { static_cast<void>(new zmq::socket_t(std::move(socket_))); }

void RequestChannel::reopen() {
    socket_.close();
    socket_ = connect_dealer(context_, options_);
    if (session_ != 0) {
        // Queued ahead of the next request; its reply is skipped like any stale one.
        Message attach;
        attach.op = Op::attach;
        attach.seq = ++seq_;
        attach.session = session_;
        attach.length = session_key_;
        const auto header = encode_message(attach);
        [[maybe_unused]] auto sent = socket_.send(zmq::buffer(header), zmq::send_flags::dontwait);
    }
}

std::string RequestChannel::no_reply(std::chrono::milliseconds wait) const {
    return "remote: no reply from " + options_.endpoint + " within " +
           std::to_string(wait.count()) + " ms";
}

bool RequestChannel::send(Message &request, const zmq::const_buffer *payload) {
    request.seq = ++seq_;
    const auto header = encode_message(request);
    const auto more = payload != nullptr ? zmq::send_flags::sndmore : zmq::send_flags::none;
    if (!socket_.send(zmq::buffer(header), more | zmq::send_flags::dontwait)) {
        return false;
    }
    if (payload != nullptr) {
        socket_.send(*payload, zmq::send_flags::none);
    }
    return true;
}

bool RequestChannel::await(const Message &request, Clock::time_point deadline, Message &reply,
                           zmq::message_t *reply_payload, std::string &error) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        zmq::pollitem_t item{socket_.handle(), 0, ZMQ_POLLIN, 0};
        if (left.count() <= 0 || zmq::poll(&item, 1, left) == 0) {
            return false;
        }
        std::vector<zmq::message_t> frames;
        if (!zmq::recv_multipart(socket_, std::back_inserter(frames), zmq::recv_flags::dontwait)) {
            continue;
        }
        std::string parse_error;
        if (!parse_message(frames[0].data(), frames[0].size(), reply, parse_error)) {
            continue;
        }
        if (reply.op == Op::refused) {
            error = "remote: " + options_.endpoint + ": " + reply.text;
            return false;
        }
        if (reply.seq != request.seq || reply.op != request.op) {
            continue; // a reply to an older request
        }
        if (reply_payload != nullptr) {
            *reply_payload = frames.size() > 1 ? std::move(frames[1]) : zmq::message_t();
        }
        return true;
    }
}

bool RequestChannel::call(Message &request, Message &reply, std::string &error,
                          const zmq::const_buffer *payload, zmq::message_t *reply_payload,
                          std::optional<std::chrono::milliseconds> timeout) {
    if (creator_.inherited()) {
        error = "remote: " + options_.endpoint + ": not usable in a child made by fork()";
        return false;
    }
    const auto wait = timeout.value_or(options_.timeout);
    const auto deadline = Clock::now() + wait;
    std::lock_guard lock(mutex_);
    if (!send(request, payload)) {
        reopen();
        error = "remote: " + options_.endpoint + " is not reachable (requests are piling up)";
        return false;
    }
    await_briefly();
    if (await(request, deadline, reply, reply_payload, error)) {
        return true;
    }
    reopen();
    if (error.empty()) {
        error = no_reply(wait);
    }
    return false;
}

std::size_t RequestChannel::pipeline(
    std::size_t count, std::size_t window,
    const std::function<void(std::size_t, Message &, zmq::const_buffer &)> &make,
    const std::function<bool(std::size_t, const Message &, zmq::message_t &)> &accept,
    std::string &error) {
    if (creator_.inherited()) {
        error = "remote: " + options_.endpoint + ": not usable in a child made by fork()";
        return 0;
    }
    std::lock_guard lock(mutex_);
    std::vector<Message> sent;
    sent.reserve(count);
    std::size_t accepted = 0;
    while (accepted < count) {
        while (sent.size() < count && sent.size() - accepted < window) {
            Message request;
            zmq::const_buffer bytes;
            make(sent.size(), request, bytes);
            if (!send(request, bytes.size() != 0 ? &bytes : nullptr)) {
                reopen();
                error = "remote: " + options_.endpoint +
                        " is not reachable (requests are piling up)";
                return accepted;
            }
            sent.push_back(request);
        }
        Message reply;
        zmq::message_t reply_payload;
        if (!await(sent[accepted], Clock::now() + options_.timeout, reply, &reply_payload,
                   error)) {
            reopen(); // the pieces still in flight may yet be applied; their replies are dropped
            if (error.empty()) {
                error = no_reply(options_.timeout);
            }
            return accepted;
        }
        const bool more = accept(accepted, reply, reply_payload);
        ++accepted;
        if (!more) {
            break;
        }
    }
    return accepted;
}

} // namespace vorn::remote
