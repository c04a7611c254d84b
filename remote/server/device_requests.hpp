// The socket-free heart of vorn-serve: one parsed request against one device, to one reply.
// Sessions, streams and ownership are decided before this is called (sessions.hpp).
#pragma once

#include "protocol.hpp"
#include "served_stream.hpp"

#include <vorn/device.hpp>

#include <zmq.hpp>

namespace vorn::remote {

struct ReplyBudget {
    std::uint64_t max_read_bytes = 0;     // one read's length
    std::uint64_t max_bytes_in_flight = 0; // read replies not yet written to the network
    InFlightBytes in_flight;               // shared by the client's replies
};

// Runs a register, trigger, block, status or info request (`request.op`) on `device`, filling
// `reply` (which carries the request's op and seq already) and, for a read, `reply_payload`
// with exactly the bytes the device reported. Any other op, or a read over the budget, gets an
// error reply saying why. Server thread; may throw what the device throws.
void serve_device_request(Device &device, const Message &request, const zmq::message_t *payload,
                          const ReplyBudget &budget, Message &reply, zmq::message_t &reply_payload);

} // namespace vorn::remote
