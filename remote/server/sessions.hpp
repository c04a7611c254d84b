// vorn-serve's sessions, without sockets: which client owns which device and stream, the
// operator's device policy, and the limits on what one client may cost. The server thread
// feeds it parsed requests; a test or a fuzzer can do the same.
//
// Ownership: a session (one remote device) belongs to the connection that created it and,
// under CURVE, to that client's public key. The client's other connections (heartbeats,
// streams, a reconnected request socket) act on it after presenting the session's key, which
// only the creating connection was told. A request naming a session it does not own gets the
// reply an unknown session gets. Session, stream and key numbers are 64 random bits.
#pragma once

#include "device_requests.hpp"
#include "log_text.hpp"
#include "protocol.hpp"
#include "served_stream.hpp"
#include "server_limits.hpp"

#include <vorn/device_manager.hpp>

#include <zmq.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace vorn::remote {

// Who sent a request.
struct Client {
    std::string route; // the connection's ZeroMQ identity
    std::string key;   // its CURVE public key (Z85); empty without CURVE
    std::string peer;  // its address, for log lines
};

struct ServedStream {
    std::uint64_t id = 0;
    std::uint64_t session = 0;
    std::string client; // whose limits it counts against
    std::string route;  // the client's stream connection
    std::shared_ptr<StreamOutbox> outbox;
    std::unique_ptr<Device::DataStream> handle;
};

class Sessions {
  public:
    using Clock = std::chrono::steady_clock;
    // Sends an unsolicited message (a stream's last texts when its device is destroyed).
    using Notify = std::function<void(const std::string &route, const Message &message)>;

    // `wake_fd`: the eventfd stream outboxes write when the server thread should come.
    Sessions(std::shared_ptr<DeviceManager> manager, DevicePolicy policy, ServerLimits limits,
             int wake_fd, Notify notify);
    // Stops every stream (joining its producer), then destroys the devices.
    ~Sessions();
    Sessions(const Sessions &) = delete;
    Sessions &operator=(const Sessions &) = delete;

    // One parsed request from `client`: fills `reply` (and `reply_payload` for a read) and
    // returns true, or returns false when no reply is due (a ping). Server thread. A device
    // call that throws becomes an error reply; only std::bad_alloc escapes.
    bool handle(const Client &client, const Message &request, const zmq::message_t *payload,
                Message &reply, zmq::message_t &reply_payload);

    // For the stream forwarder. Server thread.
    std::map<std::uint64_t, ServedStream> &streams() { return streams_; }
    void stop_stream(std::uint64_t id);

    // Ends the sessions not heard from since `heard_by - timeout`.
    void expire(Clock::time_point heard_by, std::chrono::milliseconds timeout);

    // Ends the sessions of every CURVE key that `allowed` no longer accepts.
    void end_revoked(const std::function<bool(const std::string &key)> &allowed);

    // "N devices, M streams, K chunks dropped".
    std::string status_text() const;

  private:
    struct Session {
        std::uint64_t id = 0;
        std::uint64_t key = 0;       // what the client's other connections present
        std::string client;          // the owner: CURVE key, or the creating connection
        std::string curve_key;       // must match on every request
        std::vector<std::string> routes; // connections that may act on it; [0] created it
        std::string peer;
        DevicePtr device;
        Clock::time_point last_seen;
    };
    struct ClientState {
        std::size_t devices = 0;
        std::size_t streams = 0;
        InFlightBytes reply_bytes = std::make_shared<std::atomic<std::uint64_t>>(0);
    };

    static std::string client_of(const Client &client);
    Session *owned(const Client &client, std::uint64_t id);
    std::uint64_t random_id();
    void create_device(const Client &client, const Message &request, Message &reply);
    void attach(const Client &client, const Message &request, Message &reply);
    void start_stream(Session &session, const Client &client, const Message &request,
                      Message &reply);
    void end_session(std::uint64_t id, const std::string &why);
    void refuse(const Client &client, Message &reply, Status status, const std::string &text);
    std::string published_names() const;

    std::shared_ptr<DeviceManager> manager_; // first member: the plug-in outlives all below
    DevicePolicy policy_;
    ServerLimits limits_;
    int wake_fd_;
    Notify notify_;
    std::random_device entropy_;
    std::map<std::uint64_t, Session> sessions_;
    std::map<std::uint64_t, ServedStream> streams_;
    std::map<std::string, ClientState> clients_;
    RefusalLog refusals_;
    std::uint64_t dropped_by_ended_streams_ = 0;
};

} // namespace vorn::remote
