#include "request_channel.hpp"

#include "link.hpp"

#include <zmq_addon.hpp>

#include <vector>

namespace vorn::remote {

RequestChannel::RequestChannel(zmq::context_t &context, const RemoteOptions &options)
    : context_(context), options_(options), socket_(connect_dealer(context, options)) {}

// Most replies come within a loopback or LAN round trip: looking for one without sleeping saves
// the wake-up of this thread, a good part of a short round trip. Bounded, so a slow request
// costs little CPU.
void RequestChannel::await_briefly() {
    const auto until = std::chrono::steady_clock::now() + busy_wait;
    while ((socket_.get(zmq::sockopt::events) & ZMQ_POLLIN) == 0 &&
           std::chrono::steady_clock::now() < until) {
    }
}

void RequestChannel::abandon() { static_cast<void>(new zmq::socket_t(std::move(socket_))); }

void RequestChannel::reopen() {
    socket_.close();
    socket_ = connect_dealer(context_, options_);
}

bool RequestChannel::call(Message &request, Message &reply, std::string &error,
                          const zmq::const_buffer *payload, zmq::message_t *reply_payload,
                          std::optional<std::chrono::milliseconds> timeout) {
    if (creator_.inherited()) {
        error = "remote: " + options_.endpoint + ": not usable in a child made by fork()";
        return false;
    }
    const auto wait = timeout.value_or(options_.timeout);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::lock_guard lock(mutex_);
    request.seq = ++seq_;
    const auto header = encode_message(request);
    const auto more = payload != nullptr ? zmq::send_flags::sndmore : zmq::send_flags::none;
    if (!socket_.send(zmq::buffer(header), more | zmq::send_flags::dontwait)) {
        reopen();
        error = "remote: " + options_.endpoint + " is not reachable (requests are piling up)";
        return false;
    }
    if (payload != nullptr) {
        socket_.send(*payload, zmq::send_flags::none);
    }
    await_briefly();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        zmq::pollitem_t item{socket_.handle(), 0, ZMQ_POLLIN, 0};
        if (left.count() <= 0 || zmq::poll(&item, 1, left) == 0) {
            break;
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
            error = reply.text;
            return false;
        }
        if (reply.seq != request.seq || reply.op != request.op) {
            continue; // a reply to an older request
        }
        if (reply_payload != nullptr && frames.size() > 1) {
            *reply_payload = std::move(frames[1]);
        }
        return true;
    }
    reopen();
    error = "remote: no reply from " + options_.endpoint + " within " +
            std::to_string(wait.count()) + " ms";
    return false;
}

} // namespace vorn::remote
