// Sends what a served stream's outbox holds to the client's stream connection.
#pragma once

#include "sessions.hpp"

#include <zmq.hpp>

namespace vorn::remote {

enum class Forwarded {
    idle,    // nothing was waiting
    ticking, // all sent; the server must look again within a tick
    more,    // a batch was sent and more waits
    blocked, // the client's pipe is full
    gone,    // the client's stream connection is gone: stop the stream
};

// Offers up to `max_items` of `stream`'s outbox to `router` without blocking. Server thread;
// throws zmq::error_t for a socket error other than an unreachable peer.
Forwarded forward_stream(zmq::socket_t &router, ServedStream &stream, std::size_t max_items);

} // namespace vorn::remote
