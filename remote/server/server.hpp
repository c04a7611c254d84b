// vorn-serve's event loop: one thread owns the ROUTER socket and every device; device streams
// reach it through outboxes (served_stream.hpp).
#pragma once

#include "protocol.hpp"
#include "log_text.hpp"
#include "server_limits.hpp"
#include "sessions.hpp"
#include "zap_handler.hpp"

#include <vorn/device_manager.hpp>

#include <zmq.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vorn::remote {

struct ServerOptions {
    std::string bind = "tcp://127.0.0.1:5555";
    std::filesystem::path curve_secret; // empty: no CURVE
    std::filesystem::path allow_keys;
    std::chrono::milliseconds client_timeout{3000}; // a client silent this long is gone
    DevicePolicy policy;
    ServerLimits limits;
};

// Sockets, the event loop and framing; sessions.hpp decides what each request may do.
class Server {
  public:
    // Binds; throws zmq::error_t or std::runtime_error when it cannot.
    Server(std::shared_ptr<DeviceManager> manager, const ServerOptions &options);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // The bound endpoint, with the port a wildcard bind chose.
    std::string endpoint() const;

    // Serves until request_stop(). Server thread only.
    void run();

    // Async-signal-safe: asks run() to return.
    static void request_stop();
    // Async-signal-safe: asks run() to re-read the allowed keys (SIGHUP).
    static void request_reload();

  private:
    using Clock = std::chrono::steady_clock;

    void receive_requests();
    void handle(const std::string &route, std::vector<zmq::message_t> &frames);
    void send(const std::string &route, const Message &message, zmq::message_t *payload);
    // How long the next poll may wait: 0 when more is ready to send, 1 ms (a tick) when the
    // network was full or an outbox was drained (chunks gather meanwhile without waking us),
    // 100 ms when every outbox is empty (a producer's wake-up ends the wait).
    std::chrono::milliseconds flush_streams();

    ServerOptions options_;
    zmq::context_t context_;
    std::unique_ptr<ZapHandler> zap_;
    zmq::socket_t router_;
    int wake_fd_ = -1;
    std::unique_ptr<Sessions> sessions_; // holds the manager: the plug-in outlives the devices
    RefusalLog refusals_;
    // When the ROUTER was last read to empty: heartbeats that arrived while a slow device call
    // held this thread up are counted before any client is judged silent.
    Clock::time_point drained_at_ = Clock::now();
};

} // namespace vorn::remote
