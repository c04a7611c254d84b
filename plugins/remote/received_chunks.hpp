// Received ZeroMQ messages handed to the module as owned chunks without a copy.
#pragma once

#include <vorn/device.hpp>

#include <zmq.hpp>

namespace vorn::remote {

// An owned chunk over the message's bytes; its release (any thread) closes the message. An
// empty message becomes an empty lent view.
StreamEvent adopt_message(zmq::message_t &&message);

} // namespace vorn::remote
