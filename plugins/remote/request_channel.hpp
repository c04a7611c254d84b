// Request and reply with a server, for any number of caller threads: one exchange at a time,
// each wait for a reply bounded by the timeout. A request without a reply in time drops the
// connection and opens a new one, so a late reply or a queued request can never be taken for a
// newer one; the new connection presents the session's key before its first request.
#pragma once

#include "protocol.hpp"
#include "remote_options.hpp"

#include <vorn/device.hpp>
#include <zmq.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace vorn::remote {

class RequestChannel {
  public:
    using MakeRequest = std::function<void(std::size_t, Message &, zmq::const_buffer &)>;
    using AcceptReply = std::function<bool(std::size_t, const Message &, zmq::message_t &)>;

    RequestChannel(zmq::context_t &context, const RemoteOptions &options);

    // The session later connections attach to. Call once, before other threads use the channel.
    void set_session(std::uint64_t session, std::uint64_t key);

    // Sends `request` and waits for the reply: a pipeline of one. Any thread; waits up to
    // `timeout` (the options' timeout when empty) once the channel is its. Returns false, with
    // `error` naming the endpoint, when no reply came in time, and in a child made by fork()
    // (the socket's I/O threads are the parent's).
    bool call(const Message &request, Message &reply, std::string &error,
              std::optional<std::chrono::milliseconds> timeout = std::nullopt);

    // `count` requests made by `make(i, request, payload)` (which may point `payload` at the
    // piece's bytes), sent in order with up to `window` awaiting replies; each reply goes, in
    // order, to `accept(i, reply, reply_payload)`, which returns false to send no more. Each wait
    // for the next reply (for progress, not the whole exchange) is bounded by `timeout`, the
    // options' when empty. Returns how many replies were accepted; `error` says why it stopped
    // short. Any thread; holds the channel for the whole exchange.
    std::size_t pipeline(std::size_t count, std::size_t window, const MakeRequest &make,
                         const AcceptReply &accept, std::string &error,
                         std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    // In a child made by fork(): leaks the socket, whose closing would signal the parent's
    // ZeroMQ threads. Calls fail afterwards.
    void abandon();

  private:
    void reopen();
    // Numbers `request` and sends it; false when the connection takes no more.
    bool send(Message &request, const zmq::const_buffer *payload);

    zmq::context_t &context_;
    const RemoteOptions &options_;
    std::mutex mutex_;
    zmq::socket_t socket_;
    std::uint32_t seq_ = 0;
    std::uint64_t session_ = 0;
    std::uint64_t session_key_ = 0;
    CreatorProcess creator_;
};

} // namespace vorn::remote
