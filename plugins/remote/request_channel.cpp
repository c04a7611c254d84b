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

void RequestChannel::reopen() {
    socket_ = connect_dealer(context_, options_); // closes the old one
    if (session_ != 0) {
        // Queued ahead of the next request; its reply is skipped like any stale one.
        const auto header = encode_message(attach_request(session_, session_key_, ++seq_));
        [[maybe_unused]] auto sent = socket_.send(zmq::buffer(header), zmq::send_flags::dontwait);
    }
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

bool RequestChannel::call(const Message &request, Message &reply, std::string &error,
                          std::optional<std::chrono::milliseconds> timeout) {
    const auto make = [&](std::size_t, Message &first, zmq::const_buffer &) { first = request; };
    const auto accept = [&](std::size_t, const Message &got, zmq::message_t &) {
        reply = got;
        return true;
    };
    return pipeline(1, 1, make, accept, error, timeout) == 1;
}

std::size_t RequestChannel::pipeline(std::size_t count, std::size_t window, const MakeRequest &make,
                                     const AcceptReply &accept, std::string &error,
                                     std::optional<std::chrono::milliseconds> timeout) {
    if (creator_.inherited()) {
        error = "remote: " + options_.endpoint + ": not usable in a child made by fork()";
        return 0;
    }
    const auto wait = timeout.value_or(options_.timeout);
    // A lone request is most likely a short round trip: worth looking for its reply at once.
    const auto spin = window == 1 ? reply_spin : std::chrono::microseconds(0);
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
            sent.push_back(std::move(request));
        }
        Message reply;
        zmq::message_t reply_payload;
        const bool replied =
            await_reply(socket_, sent[accepted], Clock::now() + wait, reply, &reply_payload, spin);
        if (!replied || reply.op == Op::refused) {
            // A new connection: a late reply is never taken for a newer one. The pieces still in
            // flight may yet be applied; their replies are dropped.
            reopen();
            error = replied ? "remote: " + options_.endpoint + ": " + reply.text
                            : no_reply(options_, wait);
            return accepted;
        }
        if (!accept(accepted++, reply, reply_payload)) {
            break;
        }
    }
    return accepted;
}

} // namespace vorn::remote
