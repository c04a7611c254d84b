#include "server.hpp"

#include "security.hpp"

#include <spdlog/spdlog.h>
#include <zmq_addon.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <random>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vorn::remote {
namespace {

// Lock-free atomics: safe in a signal handler, and visible across threads.
std::atomic<bool> stop_requested{false};
std::atomic<int> signal_wake_fd{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

constexpr std::size_t outbox_byte_limit = 32u << 20;
constexpr std::size_t outbox_item_limit = 4096;
constexpr std::size_t max_read_length = 1u << 30;

Message reply_to(const Message &request) {
    Message reply;
    reply.op = request.op;
    reply.seq = request.seq;
    reply.session = request.session;
    reply.stream = request.stream;
    return reply;
}

Status from_device(BasicDeviceStatus status) {
    return status == BasicDeviceStatus::Success ? Status::ok : Status::failure;
}

} // namespace

Server::Server(std::shared_ptr<DeviceManager> manager, const ServerOptions &options)
    : manager_(std::move(manager)), options_(options), context_(1) {
    stop_requested = false;
    // Handles start at a random point so a restarted server never honours an old one's.
    std::random_device entropy;
    next_id_ = ((std::uint64_t{entropy()} << 32 | entropy()) & 0xFFFF'FFFF'FFFFu) << 8;
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        throw std::runtime_error("cannot create an eventfd");
    }
    signal_wake_fd = wake_fd_;
    router_ = zmq::socket_t(context_, zmq::socket_type::router);
    router_.set(zmq::sockopt::linger, 0);
    router_.set(zmq::sockopt::router_mandatory, 1);
    router_.set(zmq::sockopt::sndhwm, 4000);
    router_.set(zmq::sockopt::heartbeat_ivl, heartbeat_interval_ms);
    router_.set(zmq::sockopt::heartbeat_timeout, heartbeat_timeout_ms);
    router_.set(zmq::sockopt::sndbuf, stream_socket_buffer_bytes);
    if (!options_.curve_secret.empty()) {
        zap_ = std::make_unique<ZapHandler>(context_, options_.allow_keys);
        const std::string secret = read_key_file(options_.curve_secret);
        public_key_of(secret); // a malformed key fails here, naming the problem
        router_.set(zmq::sockopt::curve_server, 1);
        router_.set(zmq::sockopt::curve_secretkey, secret);
        router_.set(zmq::sockopt::zap_domain, "vorn");
    }
    router_.bind(options_.bind);
}

Server::~Server() {
    // Producers first: a running device thread may still push into an outbox and the eventfd.
    while (!streams_.empty()) {
        stop_stream(streams_.begin()->first);
    }
    sessions_.clear();
    signal_wake_fd = -1;
    ::close(wake_fd_);
}

std::string Server::endpoint() const { return router_.get(zmq::sockopt::last_endpoint); }

void Server::request_stop() {
    stop_requested = true;
    const int fd = signal_wake_fd;
    if (fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(fd, &one, sizeof(one));
    }
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
        if (zap_ && (items[2].revents & ZMQ_POLLIN) != 0) {
            zap_->handle();
        }
        if ((items[0].revents & ZMQ_POLLIN) != 0) {
            receive_requests();
        } else {
            drained_at_ = Clock::now();
        }
        wait = flush_streams();
        expire_sessions();
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
        // Not every transport knows the peer's address (cppzmq's gets() would throw).
        const char *address =
            frames.size() > 1 ? zmq_msg_gets(frames[1].handle(), "Peer-Address") : nullptr;
        const std::string peer = address != nullptr ? address : "a local peer";
        frames.erase(frames.begin());
        try {
            handle(route, peer, frames);
        } catch (const std::exception &e) {
            spdlog::error("request from {} failed: {}", peer, e.what());
        }
    }
}

void Server::handle(const std::string &route, const std::string &peer,
                    std::vector<zmq::message_t> &frames) {
    Message request;
    std::string error;
    if (frames.empty() || frames.size() > 2 ||
        !parse_message(frames[0].data(), frames[0].size(), request, error)) {
        if (error.empty()) {
            error = std::to_string(frames.size()) + " frames instead of 1 or 2";
        }
        spdlog::warn("refused a message from {}: {}", peer, error);
        Message refusal;
        refusal.op = Op::refused;
        refusal.status = Status::error;
        refusal.text = "remote: bad message: " + error;
        send(route, refusal, nullptr);
        return;
    }
    zmq::message_t *payload = frames.size() > 1 ? &frames[1] : nullptr;
    Message reply = reply_to(request);
    zmq::message_t reply_payload;
    if (request.op == Op::create_device) {
        create_device(peer, request, reply);
    } else if (request.op == Op::server_status) {
        reply.text = status_text();
    } else {
        auto found = sessions_.find(request.session);
        if (found == sessions_.end()) {
            if (request.op == Op::ping) {
                return;
            }
            reply.status = Status::error;
            reply.text = "remote: no device " + std::to_string(request.session) +
                         " on this server (it was destroyed, or the server restarted)";
        } else {
            found->second.last_seen = Clock::now();
            if (request.op == Op::ping) {
                return;
            }
            try {
                dispatch(found->second, route, request, payload, reply, reply_payload);
            } catch (const std::exception &e) {
                spdlog::error("device {} of {}: {} failed: {}", request.session, peer,
                              op_name(request.op), e.what());
                reply.status = Status::error;
                reply.text = std::string("remote: ") + e.what();
            }
        }
    }
    send(route, reply, reply_payload.size() != 0 ? &reply_payload : nullptr);
}

void Server::create_device(const std::string &peer, const Message &request, Message &reply) {
    try {
        DevicePtr device = manager_->create_device(request.text);
        if (!device) {
            throw std::runtime_error("the plug-in created no device");
        }
        const std::uint64_t id = next_id_++;
        sessions_.emplace(id, Session{id, peer, std::move(device), Clock::now()});
        reply.session = id;
        spdlog::info("client {} connected: device {} created from options '{}'", peer, id,
                     request.text);
    } catch (const std::exception &e) {
        spdlog::error("client {}: create_device('{}') failed: {}", peer, request.text, e.what());
        reply.status = Status::error;
        reply.text = e.what();
        // Bad options stay a ValueError on the client, as they would be locally.
        reply.value =
            dynamic_cast<const std::invalid_argument *>(&e) != nullptr ? invalid_options_error : 0;
    }
}

void Server::dispatch(Session &session, const std::string &route, const Message &request,
                      zmq::message_t *payload, Message &reply, zmq::message_t &reply_payload) {
    Device &device = *session.device;
    switch (request.op) {
    case Op::destroy_device:
        end_session(session.id, "disconnected");
        return;
    case Op::set_register:
        reply.status = from_device(device.set_register(request.addr, request.value, request.mask));
        return;
    case Op::send_registers:
        reply.status = from_device(device.send_registers());
        return;
    case Op::set_register_sync:
        reply.status =
            from_device(device.set_register_sync(request.addr, request.value, request.mask));
        return;
    case Op::get_register:
        reply.value = device.get_register(request.addr);
        return;
    case Op::read_registers:
        reply.status = from_device(device.read_registers());
        return;
    case Op::get_register_sync: {
        const auto value = device.get_register_sync(request.addr);
        reply.status = value ? Status::ok : Status::failure;
        reply.value = value.value_or(0);
        return;
    }
    case Op::trigger:
        reply.status =
            from_device(device.trigger(request.addr, static_cast<std::int32_t>(request.value)));
        return;
    case Op::write:
        reply.length = payload == nullptr ? 0
                                          : device.write(request.addr, payload->size(),
                                                         payload->data<std::uint8_t>());
        return;
    case Op::read: {
        if (request.length > max_read_length) {
            throw std::runtime_error("a read of " + std::to_string(request.length) +
                                     " bytes is larger than the server's limit");
        }
        reply_payload.rebuild(request.length);
        reply.length =
            device.read(request.addr, request.length, reply_payload.data<std::uint8_t>());
        return;
    }
    case Op::get_status:
    case Op::get_info: {
        const auto text = request.op == Op::get_status ? device.get_status() : device.get_info();
        reply.status = text ? Status::ok : Status::failure;
        reply.text = text.value_or("");
        return;
    }
    case Op::stream_start:
        start_stream(session, route, request, reply);
        return;
    case Op::stream_stop: {
        auto found = streams_.find(request.stream);
        if (found != streams_.end() && found->second.session == session.id) {
            stop_stream(request.stream);
        }
        return;
    }
    default:
        reply.status = Status::error;
        reply.text = "remote: " + op_name(request.op) + " is not a request";
        return;
    }
}

void Server::start_stream(Session &session, const std::string &route, const Message &request,
                          Message &reply) {
    auto outbox = std::make_shared<StreamOutbox>(wake_fd_, outbox_byte_limit, outbox_item_limit);
    auto handle = session.device->start_read_stream(
        request.addr, StreamOutbox::make_callback(outbox), request.length);
    if (!handle || !*handle) {
        reply.status = Status::failure;
        reply.text = "the device does not stream";
        return;
    }
    const std::uint64_t id = next_id_++;
    streams_.emplace(id,
                     ServedStream{id, session.id, route, std::move(outbox), std::move(*handle)});
    reply.stream = id;
    spdlog::info("device {} of {}: stream {} started", session.id, session.peer, id);
}

void Server::stop_stream(std::uint64_t id) {
    auto found = streams_.find(id);
    if (found == streams_.end()) {
        return;
    }
    try {
        // Joins the device's producer; it never waits for us, so this cannot deadlock.
        found->second.handle->stop();
    } catch (const std::exception &e) {
        spdlog::error("stream {}: stop failed: {}", id, e.what());
    }
    found->second.handle.reset();
    dropped_by_ended_streams_ += found->second.outbox->dropped_total();
    streams_.erase(found);
}

void Server::end_session(std::uint64_t id, const std::string &why) {
    auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return;
    }
    int stopped = 0;
    for (auto it = streams_.begin(); it != streams_.end();) {
        const auto next = std::next(it);
        if (it->second.session == id) {
            // Tell a client that still listens, in case it kept the stream past its device.
            Message text;
            text.op = Op::stream_text;
            text.session = id;
            text.stream = it->first;
            text.text = "remote: device " + std::to_string(id) + " was destroyed on the server";
            send(it->second.route, text, nullptr);
            text.op = Op::stream_end;
            text.text.clear();
            send(it->second.route, text, nullptr);
            stop_stream(it->first);
            ++stopped;
        }
        it = next;
    }
    spdlog::info("client {} {}: device {} destroyed, {} streams stopped", found->second.peer, why,
                 id, stopped);
    sessions_.erase(found);
}

void Server::send(const std::string &route, const Message &message, zmq::message_t *payload) {
    const auto header = encode_message(message);
    try {
        // Replies are small and rare: a full pipe to this client drops it rather than block.
        if (!router_.send(zmq::buffer(route),
                          zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
            spdlog::warn("reply to a client dropped: its connection is full");
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
    for (auto it = streams_.begin(); it != streams_.end();) {
        const auto next = std::next(it);
        ServedStream &stream = it->second;
        bool gone = false;
        const auto send_item = [&](OutItem &item) {
            Message header;
            header.op = item.op;
            header.session = stream.session;
            header.stream = stream.id;
            // A chunk's header has no text: encoded on the stack, no allocation per chunk.
            std::array<std::uint8_t, header_size> fixed{};
            std::vector<std::uint8_t> with_text;
            zmq::const_buffer bytes(fixed.data(), fixed.size());
            if (item.text.empty()) {
                encode_header(header, fixed.data());
            } else {
                header.text = item.text; // copied: a blocked item is offered again
                with_text = encode_message(header);
                bytes = zmq::buffer(with_text);
            }
            try {
                if (!router_.send(zmq::buffer(stream.route),
                                  zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
                    return false; // the client's pipe is full; the outbox absorbs or drops
                }
            } catch (const zmq::error_t &e) {
                if (e.num() != EHOSTUNREACH) {
                    throw;
                }
                gone = true;
                return true;
            }
            const bool chunk = item.op == Op::stream_chunk;
            router_.send(bytes, chunk ? zmq::send_flags::sndmore : zmq::send_flags::none);
            if (chunk) {
                router_.send(item.payload, zmq::send_flags::none);
            }
            return true;
        };
        const auto drained = stream.outbox->drain(send_item, 256);
        if (gone) {
            spdlog::info("stream {}: the client's stream connection is gone; stopped", stream.id);
            stop_stream(it->first);
        } else if (drained == StreamOutbox::Drained::more) {
            wait = std::chrono::milliseconds(0);
        } else if (drained == StreamOutbox::Drained::blocked ||
                   drained == StreamOutbox::Drained::sent) {
            wait = std::min(wait, std::chrono::milliseconds(1));
        }
        it = next;
    }
    return wait;
}

void Server::expire_sessions() {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        const auto next = std::next(it);
        if (drained_at_ - it->second.last_seen > options_.client_timeout) {
            end_session(it->first, "disconnected (no heartbeat for " +
                                       std::to_string(options_.client_timeout.count()) + " ms)");
        }
        it = next;
    }
}

std::string Server::status_text() const {
    std::uint64_t dropped = dropped_by_ended_streams_;
    for (const auto &[id, stream] : streams_) {
        dropped += stream.outbox->dropped_total();
    }
    return "vorn-serve " + endpoint() + ": " + std::to_string(sessions_.size()) + " devices, " +
           std::to_string(streams_.size()) + " streams, " + std::to_string(dropped) +
           " chunks dropped";
}

} // namespace vorn::remote
