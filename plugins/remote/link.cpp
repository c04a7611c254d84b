#include "link.hpp"

#include "security.hpp"

#include <zmq_addon.hpp>

#include <vector>

namespace vorn::remote {

zmq::socket_t connect_dealer(zmq::context_t &context, const RemoteOptions &options) {
    zmq::socket_t socket(context, zmq::socket_type::dealer);
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::reconnect_ivl, reconnect_interval_ms);
    socket.set(zmq::sockopt::heartbeat_ivl, heartbeat_interval_ms);
    socket.set(zmq::sockopt::heartbeat_timeout, heartbeat_timeout_ms);
    socket.set(zmq::sockopt::rcvbuf, stream_socket_buffer_bytes);
    if (!options.server_key.empty()) {
        socket.set(zmq::sockopt::curve_serverkey, options.server_key);
        socket.set(zmq::sockopt::curve_publickey, options.client_public);
        socket.set(zmq::sockopt::curve_secretkey, options.client_secret);
    }
    if (options.endpoint.starts_with("tcp://[")) {
        socket.set(zmq::sockopt::ipv6, 1); // an IPv6 address in brackets
    }
    socket.connect(options.endpoint);
    return socket;
}

Message attach_request(std::uint64_t session, std::uint64_t key, std::uint32_t seq) {
    return {.op = Op::attach, .seq = seq, .session = session, .length = key, .text = {}};
}

bool await_reply(zmq::socket_t &socket, const Message &request, Clock::time_point deadline,
                 Message &reply, zmq::message_t *reply_payload, std::chrono::microseconds spin) {
    const auto spin_until = Clock::now() + spin;
    while ((socket.get(zmq::sockopt::events) & ZMQ_POLLIN) == 0 && Clock::now() < spin_until) {
    }
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
        if (left.count() <= 0 || zmq::poll(&item, 1, left) == 0) {
            return false;
        }
        std::vector<zmq::message_t> frames;
        std::string parse_error;
        if (!zmq::recv_multipart(socket, std::back_inserter(frames), zmq::recv_flags::dontwait) ||
            !parse_message(frames[0].data(), frames[0].size(), reply, parse_error)) {
            continue;
        }
        if (reply.op == Op::refused || (reply.seq == request.seq && reply.op == request.op)) {
            if (reply_payload != nullptr) {
                *reply_payload = frames.size() > 1 ? std::move(frames[1]) : zmq::message_t();
            }
            return true;
        }
    }
}

std::string no_reply(const RemoteOptions &options, std::chrono::milliseconds wait) {
    return "remote: no reply from " + options.endpoint + " within " +
           std::to_string(wait.count()) + " ms";
}

} // namespace vorn::remote
