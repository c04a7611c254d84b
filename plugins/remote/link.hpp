// Sockets of the client plug-in: every socket is a DEALER to the server, configured the same way,
// and every wait for a reply on one of them goes through await_reply.
#pragma once

#include "protocol.hpp"
#include "remote_options.hpp"

#include <zmq.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace vorn::remote {

using Clock = std::chrono::steady_clock;

// How soon a dropped connection is tried again.
inline constexpr int reconnect_interval_ms = 100;
// Most replies come within a loopback or LAN round trip: looking for one without sleeping saves
// the wake-up of the waiting thread, a good part of a short round trip. Bounded, so a slow
// request costs little CPU.
inline constexpr auto reply_spin = std::chrono::microseconds(150);

// A DEALER connected to options.endpoint, with CURVE keys if given, heartbeats and no linger.
zmq::socket_t connect_dealer(zmq::context_t &context, const RemoteOptions &options);

// The request that presents `key`, the secret of device `session`, on a new connection.
Message attach_request(std::uint64_t session, std::uint64_t key, std::uint32_t seq = 0);

// Waits on `socket` until `deadline` for the reply to `request` (its seq and op), after looking
// without sleeping for up to `spin`; skips replies to older requests and frames that do not
// parse. False when none came. The server's refusal of a message of this connection is a reply
// too (op `refused`, with its text). A second frame goes to `reply_payload` when given.
// Caller: the one thread using the socket.
bool await_reply(zmq::socket_t &socket, const Message &request, Clock::time_point deadline,
                 Message &reply, zmq::message_t *reply_payload = nullptr,
                 std::chrono::microseconds spin = {});

// The error of a wait that ran out: "remote: no reply from ENDPOINT within N ms".
std::string no_reply(const RemoteOptions &options, std::chrono::milliseconds wait);

} // namespace vorn::remote
