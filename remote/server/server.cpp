#include "server.hpp"

#include "security.hpp"
#include "stream_forwarder.hpp"

#include <spdlog/spdlog.h>
#include <zmq_addon.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vorn::remote {
namespace {

// Lock-free atomics: safe in a signal handler, and visible across threads.
std::atomic<bool> stop_requested{false};
std::atomic<bool> reload_requested{false};
std::atomic<int> signal_wake_fd{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// Async-signal-safe: ends the server thread's poll.
void wake_from_signal() {
    const int fd = signal_wake_fd;
    if (fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(fd, &one, sizeof(one));
    }
}

// Incoming messages queued per connection before ZeroMQ stops reading it (as many as a block
// transfer keeps in flight): with the frame limit, this bounds what a connection that sends
// faster than we serve can make us hold.
constexpr int receive_queue_messages = 4;

} // namespace

Server::Server(std::shared_ptr<DeviceManager> manager, const ServerOptions &options)
    : options_(options), context_(1) {
    stop_requested = false;
    reload_requested = false;
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        throw std::runtime_error("cannot create an eventfd");
    }
    signal_wake_fd = wake_fd_;
    router_ = zmq::socket_t(context_, zmq::socket_type::router);
    router_.set(zmq::sockopt::linger, 0);
    router_.set(zmq::sockopt::router_mandatory, 1);
    router_.set(zmq::sockopt::sndhwm, 4000);
    router_.set(zmq::sockopt::rcvhwm, receive_queue_messages);
    router_.set(zmq::sockopt::maxmsgsize,
                static_cast<std::int64_t>(options_.limits.max_message_bytes + header_size));
    router_.set(zmq::sockopt::heartbeat_ivl, heartbeat_interval_ms);
    router_.set(zmq::sockopt::heartbeat_timeout, heartbeat_timeout_ms);
    router_.set(zmq::sockopt::sndbuf, stream_socket_buffer_bytes);
    if (!options_.curve_secret.empty()) {
        zap_ = std::make_unique<ZapHandler>(context_, options_.allow_keys);
        const std::string secret = read_secret_key_file(options_.curve_secret);
        router_.set(zmq::sockopt::curve_server, 1);
        router_.set(zmq::sockopt::curve_secretkey, secret);
        router_.set(zmq::sockopt::zap_domain, "vorn");
    }
    const std::string bind = bindable_endpoint(options_.bind);
    if (bind.starts_with("tcp://[")) {
        router_.set(zmq::sockopt::ipv6, 1);
    }
    router_.bind(bind);
    sessions_ = std::make_unique<Sessions>(
        std::move(manager), options_.policy, options_.limits, wake_fd_,
        [this](const std::string &route, const Message &message) {
            send(route, message, nullptr);
        });
}

Server::~Server() {
    sessions_.reset(); // producers stop before the eventfd they write closes
    signal_wake_fd = -1;
    ::close(wake_fd_);
}

std::string Server::endpoint() const { return router_.get(zmq::sockopt::last_endpoint); }

void Server::request_stop() {
    stop_requested = true;
    wake_from_signal();
}

void Server::request_reload() {
    reload_requested = true;
    wake_from_signal();
}

void Server::run() {
    auto wait = std::chrono::milliseconds(100);
    while (!stop_requested) {
        std::vector<zmq::pollitem_t> items = {{router_.handle(), 0, ZMQ_POLLIN, 0},
                                              {nullptr, wake_fd_, ZMQ_POLLIN, 0}};
        if (zap_) {
            items.push_back({zap_->socket().handle(), 0, ZMQ_POLLIN, 0});
        }
        try {
            zmq::poll(items, wait);
        } catch (const zmq::error_t &e) {
            if (e.num() != EINTR) {
                throw;
            }
            continue;
        }
        if ((items[1].revents & ZMQ_POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto got = ::read(wake_fd_, &count, sizeof(count));
        }
        if (reload_requested.exchange(false) && zap_) {
            zap_->reload();
            sessions_->end_revoked([this](const std::string &key) { return zap_->allows(key); });
        }
        if (zap_ && (items[2].revents & ZMQ_POLLIN) != 0) {
            zap_->handle();
        }
        if ((items[0].revents & ZMQ_POLLIN) != 0) {
            receive_requests();
        } else {
            drained_at_ = Clock::now();
        }
        wait = flush_streams();
        sessions_->expire(drained_at_, options_.client_timeout);
    }
}

void Server::receive_requests() {
    // A bounded batch, so streams are flushed between batches.
    for (int n = 0; n < 256; ++n) {
        std::vector<zmq::message_t> frames;
        if (!zmq::recv_multipart(router_, std::back_inserter(frames), zmq::recv_flags::dontwait)) {
            drained_at_ = Clock::now();
            return;
        }
        const std::string route = frames[0].to_string();
        frames.erase(frames.begin());
        try {
            handle(route, frames);
        } catch (const std::exception &e) {
            spdlog::error("a request failed: {}", printable(e.what()));
        }
    }
}

void Server::handle(const std::string &route, std::vector<zmq::message_t> &frames) {
    Client client;
    client.route = route;
    if (!frames.empty()) {
        // Not every transport knows the peer's address (cppzmq's gets() would throw).
        const char *address = zmq_msg_gets(frames[0].handle(), "Peer-Address");
        client.peer = address != nullptr ? address : "a local peer";
        if (zap_) {
            // The ZAP handler names each admitted client by its public key.
            const char *key = zmq_msg_gets(frames[0].handle(), "User-Id");
            client.key = key != nullptr ? key : "";
        }
    }
    Message request;
    std::string error;
    if (frames.empty() || frames.size() > 2 ||
        !parse_message(frames[0].data(), frames[0].size(), request, error)) {
        if (error.empty()) {
            error = std::to_string(frames.size()) + " frames instead of 1 or 2";
        }
        refusals_.warn(client.peer + " bad message",
                       "refused a message from " + client.peer + ": " + printable(error));
        Message refusal;
        refusal.op = Op::refused;
        refusal.status = Status::error;
        refusal.text = "remote: bad message: " + error;
        send(route, refusal, nullptr);
        return;
    }
    if (zap_ && !zap_->allows(client.key)) {
        // Admitted before its key was revoked: the connection stays, its requests do not.
        Message refusal;
        refusal.op = Op::refused;
        refusal.status = Status::error;
        refusal.text = "remote: this client's key is no longer allowed on the server";
        send(route, refusal, nullptr);
        return;
    }
    Message reply;
    zmq::message_t reply_payload;
    if (!sessions_->handle(client, request, frames.size() > 1 ? &frames[1] : nullptr, reply,
                           reply_payload)) {
        return;
    }
    if (request.op == Op::server_status) {
        reply.text = "vorn-serve " + endpoint() + ": " + reply.text;
    }
    send(route, reply, reply_payload.size() != 0 ? &reply_payload : nullptr);
}

void Server::send(const std::string &route, const Message &message, zmq::message_t *payload) {
    const auto header = encode_message(message);
    try {
        // Replies are small or bounded: a full pipe to this client drops it rather than block.
        if (!router_.send(zmq::buffer(route),
                          zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
            refusals_.warn("full", "a reply to a client was dropped: its connection is full");
            return;
        }
        router_.send(zmq::buffer(header),
                     payload != nullptr ? zmq::send_flags::sndmore : zmq::send_flags::none);
        if (payload != nullptr) {
            router_.send(*payload, zmq::send_flags::none);
        }
    } catch (const zmq::error_t &e) {
        if (e.num() != EHOSTUNREACH) {
            throw;
        }
    }
}

std::chrono::milliseconds Server::flush_streams() {
    auto wait = std::chrono::milliseconds(100);
    auto &streams = sessions_->streams();
    for (auto it = streams.begin(); it != streams.end();) {
        const auto next = std::next(it);
        switch (forward_stream(router_, it->second, 256)) {
        case Forwarded::gone:
            spdlog::info("stream {}: the client's stream connection is gone; stopped", it->first);
            sessions_->stop_stream(it->first);
            break;
        case Forwarded::more:
            wait = std::chrono::milliseconds(0);
            break;
        case Forwarded::blocked:
        case Forwarded::ticking:
            wait = std::min(wait, std::chrono::milliseconds(1));
            break;
        case Forwarded::idle:
            break;
        }
        it = next;
    }
    return wait;
}

} // namespace vorn::remote
