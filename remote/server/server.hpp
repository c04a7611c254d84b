// vorn-serve's event loop: one thread owns the ROUTER socket and every device; device streams
// reach it through outboxes (served_stream.hpp).
#pragma once

#include "protocol.hpp"
#include "served_stream.hpp"
#include "zap_handler.hpp"

#include <vorn/device_manager.hpp>

#include <zmq.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vorn::remote {

struct ServerOptions {
    std::string bind = "tcp://127.0.0.1:5555";
    std::filesystem::path curve_secret; // empty: no CURVE
    std::filesystem::path allow_keys;
    std::chrono::milliseconds client_timeout{3000}; // a client silent this long is gone
};

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

  private:
    using Clock = std::chrono::steady_clock;

    struct Session {
        std::uint64_t id = 0;
        std::string peer; // the client's address, for log lines
        DevicePtr device;
        Clock::time_point last_seen;
    };

    struct ServedStream {
        std::uint64_t id = 0;
        std::uint64_t session = 0;
        std::string route; // ZeroMQ identity of the client's stream socket
        std::shared_ptr<StreamOutbox> outbox;
        std::unique_ptr<Device::DataStream> handle;
    };

    void receive_requests();
    void handle(const std::string &route, const std::string &peer,
                std::vector<zmq::message_t> &frames);
    void dispatch(Session &session, const std::string &route, const Message &request,
                  zmq::message_t *payload, Message &reply, zmq::message_t &reply_payload);
    void create_device(const std::string &peer, const Message &request, Message &reply);
    void start_stream(Session &session, const std::string &route, const Message &request,
                      Message &reply);
    void stop_stream(std::uint64_t id);
    void end_session(std::uint64_t id, const std::string &why);
    void send(const std::string &route, const Message &message, zmq::message_t *payload);
    // How long the next poll may wait: 0 when more is ready to send, 1 ms (a tick) when the
    // network was full or an outbox was drained (chunks gather meanwhile without waking us),
    // 100 ms when every outbox is empty (a producer's wake-up ends the wait).
    std::chrono::milliseconds flush_streams();
    void expire_sessions();
    std::string status_text() const;

    std::shared_ptr<DeviceManager> manager_; // first member: the plug-in outlives all below
    ServerOptions options_;
    zmq::context_t context_;
    std::unique_ptr<ZapHandler> zap_;
    zmq::socket_t router_;
    int wake_fd_ = -1;
    std::map<std::uint64_t, Session> sessions_;
    std::map<std::uint64_t, ServedStream> streams_;
    std::uint64_t next_id_ = 1;
    // When the ROUTER was last read to empty: heartbeats that arrived while a slow device call
    // held this thread up are counted before any client is judged silent.
    Clock::time_point drained_at_ = Clock::now();
    std::uint64_t dropped_by_ended_streams_ = 0;
};

} // namespace vorn::remote
