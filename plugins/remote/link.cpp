#include "link.hpp"

#include "security.hpp"

namespace vorn::remote {

zmq::socket_t connect_dealer(zmq::context_t &context, const RemoteOptions &options) {
    zmq::socket_t socket(context, zmq::socket_type::dealer);
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::reconnect_ivl, 100);
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

} // namespace vorn::remote
