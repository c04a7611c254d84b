// Request and reply with a server, for any number of caller threads: one request at a time,
// each waiting at most its timeout. A request without a reply in time drops the connection
// and opens a new one, so a late reply or a queued request can never be taken for a newer one.
#pragma once

#include "protocol.hpp"
#include "remote_options.hpp"

#include <vorn/device.hpp>
#include <zmq.hpp>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace vorn::remote {

class RequestChannel {
  public:
    RequestChannel(zmq::context_t &context, const RemoteOptions &options);

    // Sends `request` (with `payload` bytes as a second frame when given) and waits for the
    // reply. Any thread; blocks up to `timeout` (the options' timeout when empty). Returns
    // false, with `error` naming the endpoint, when no reply came in time, and in a child made
    // by fork() (the socket's I/O threads are the parent's).
    bool call(Message &request, Message &reply, std::string &error,
              const zmq::const_buffer *payload = nullptr, zmq::message_t *reply_payload = nullptr,
              std::optional<std::chrono::milliseconds> timeout = std::nullopt);

    // In a child made by fork(): leaks the socket, whose closing would signal the parent's
    // ZeroMQ threads. Calls fail afterwards.
    void abandon();

  private:
    static constexpr auto busy_wait = std::chrono::microseconds(150);

    void await_briefly();
    void reopen();

    zmq::context_t &context_;
    const RemoteOptions &options_;
    std::mutex mutex_;
    zmq::socket_t socket_;
    std::uint32_t seq_ = 0;
    CreatorProcess creator_;
};

} // namespace vorn::remote
