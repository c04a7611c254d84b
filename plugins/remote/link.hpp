// Sockets of the client plug-in: every socket is a DEALER to the server, configured the same way.
#pragma once

#include "remote_options.hpp"

#include <zmq.hpp>

namespace vorn::remote {

// A DEALER connected to options.endpoint, with CURVE keys if given, heartbeats and no linger.
zmq::socket_t connect_dealer(zmq::context_t &context, const RemoteOptions &options);

} // namespace vorn::remote
