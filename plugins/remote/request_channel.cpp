#include "request_channel.hpp"

#include "link.hpp"

#include <vector>

namespace vorn::remote {

RequestChannel::RequestChannel(zmq::context_t &context, const RemoteOptions &options)
    : context_(context), options_(options), socket_(connect_dealer(context, options)) {}

void RequestChannel::set_session(std::uint64_t session, std::uint64_t key) {
    std::lock_guard lock(mutex_);
    session_ = session;
    session_key_ = key;
}

void RequestChannel::abandon() { static_cast<void>(new zmq::socket_t(std::move(socket_))); }

bool RequestChannel::usable(std::string &error) const {
    if (creator_.inherited()) {
        error = "remote: " + options_.endpoint + ": not usable in a child made by fork()";
    }
    return !creator_.inherited();
}

void RequestChannel::reopen() {
    socket_.close();
    socket_ = connect_dealer(context_, options_);
    if (session_ != 0) {
        // Queued ahead of the next request; its reply is skipped like any stale one.
        Message attach = attach_request(session_, session_key_);
        attach.seq = ++seq_;
        const auto header = encode_message(attach);
        [[maybe_unused]] auto sent = socket_.send(zmq::buffer(header), zmq::send_flags::dontwait);
    }
}

bool RequestChannel::drop(std::string &error, std::string reason) {
    reopen();
    if (error.empty()) {
        error = std::move(reason);
    }
    return false;
}

std::string RequestChannel::unreachable() const {
    return "remote: " + options_.endpoint + " is not reachable (requests are piling up)";
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
                           zmq::message_t *reply_payload, std::chrono::microseconds spin,
                           std::string &error) {
    const Awaited got = await_reply(socket_, request, deadline, reply, reply_payload, spin);
    if (got == Awaited::refused) {
        error = "remote: " + options_.endpoint + ": " + reply.text;
    }
    return got == Awaited::reply;
}

bool RequestChannel::call(Message &request, Message &reply, std::string &error,
                          const zmq::const_buffer *payload, zmq::message_t *reply_payload,
                          std::optional<std::chrono::milliseconds> timeout) {
    if (!usable(error)) {
        return false;
    }
    const auto wait = timeout.value_or(options_.timeout);
    const auto deadline = Clock::now() + wait;
    std::lock_guard lock(mutex_);
    if (!send(request, payload)) {
        return drop(error, unreachable());
    }
    return await(request, deadline, reply, reply_payload, reply_spin, error) ||
           drop(error, no_reply(options_, wait));
}

std::size_t RequestChannel::pipeline(
    std::size_t count, std::size_t window,
    const std::function<void(std::size_t, Message &, zmq::const_buffer &)> &make,
    const std::function<bool(std::size_t, const Message &, zmq::message_t &)> &accept,
    std::string &error) {
    if (!usable(error)) {
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
                drop(error, unreachable());
                return accepted;
            }
            sent.push_back(request);
        }
        Message reply;
        zmq::message_t reply_payload;
        if (!await(sent[accepted], Clock::now() + options_.timeout, reply, &reply_payload, {},
                   error)) {
            // The pieces still in flight may yet be applied; their replies are dropped.
            drop(error, no_reply(options_, options_.timeout));
            return accepted;
        }
        if (!accept(accepted++, reply, reply_payload)) {
            break;
        }
    }
    return accepted;
}

} // namespace vorn::remote
