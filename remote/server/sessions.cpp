#include "sessions.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <stdexcept>

namespace vorn::remote {
namespace {

constexpr std::size_t outbox_item_limit = 4096;

std::string unknown_session(std::uint64_t id) {
    return "remote: no device " + std::to_string(id) +
           " on this server (it was destroyed, or the server restarted)";
}

} // namespace

Sessions::Sessions(std::shared_ptr<DeviceManager> manager, DevicePolicy policy,
                   ServerLimits limits, int wake_fd, Notify notify)
    : manager_(std::move(manager)), policy_(std::move(policy)), limits_(limits),
      wake_fd_(wake_fd), notify_(std::move(notify)) {}

Sessions::~Sessions() {
    // Producers first: a running device thread may still push into an outbox and the eventfd.
    while (!streams_.empty()) {
        stop_stream(streams_.begin()->first);
    }
    sessions_.clear();
}

std::string Sessions::client_of(const Client &client) {
    return client.key.empty() ? "connection " + client.route : "key " + client.key;
}

std::uint64_t Sessions::random_id() {
    for (;;) {
        const std::uint64_t id = std::uint64_t{entropy_()} << 32 | entropy_();
        if (id != 0 && !sessions_.contains(id) && !streams_.contains(id)) {
            return id;
        }
    }
}

Sessions::Session *Sessions::owned(const Client &client, std::uint64_t id) {
    auto found = sessions_.find(id);
    if (found == sessions_.end() || found->second.curve_key != client.key) {
        return nullptr;
    }
    const auto &routes = found->second.routes;
    return std::find(routes.begin(), routes.end(), client.route) != routes.end() ? &found->second
                                                                                 : nullptr;
}

void Sessions::refuse(const Client &client, Message &reply, Status status,
                      const std::string &text) {
    reply.status = status;
    reply.text = text;
    // Whatever in `text` came from the client was escaped where the text was made.
    refusals_.warn(client.peer + " " + text.substr(0, 40),
                   "refused client " + client.peer + ": " + text);
}

bool Sessions::handle(const Client &client, const Message &request, const zmq::message_t *payload,
                      Message &reply, zmq::message_t &reply_payload) {
    reply = Message{};
    reply.op = request.op;
    reply.seq = request.seq;
    reply.session = request.session;
    reply.stream = request.stream;
    switch (request.op) {
    case Op::create_device:
        create_device(client, request, reply);
        return true;
    case Op::server_status:
        reply.text = status_text();
        return true;
    case Op::list_devices:
        reply.text = published_names();
        return true;
    case Op::attach:
        attach(client, request, reply);
        return true;
    case Op::ping: {
        // A heartbeat connection presents the key with every beat instead of attaching.
        auto found = sessions_.find(request.session);
        if (found != sessions_.end() && found->second.curve_key == client.key &&
            (request.length == found->second.key || owned(client, request.session) != nullptr)) {
            found->second.last_seen = Clock::now();
        }
        return false;
    }
    default:
        break;
    }
    Session *session = owned(client, request.session);
    if (session == nullptr) {
        reply.status = Status::error;
        reply.text = unknown_session(request.session);
        return true;
    }
    session->last_seen = Clock::now();
    try {
        switch (request.op) {
        case Op::destroy_device:
            end_session(session->id, "disconnected");
            return true;
        case Op::stream_start:
            start_stream(*session, client, request, reply);
            return true;
        case Op::stream_stop: {
            auto found = streams_.find(request.stream);
            if (found != streams_.end() && found->second.session == session->id) {
                stop_stream(request.stream);
            }
            return true;
        }
        default: {
            ClientState &owner = clients_[session->client];
            const ReplyBudget budget{limits_.max_message_bytes, limits_.max_stream_bytes,
                                     owner.reply_bytes};
            serve_device_request(*session->device, request, payload, budget, reply,
                                 reply_payload);
            return true;
        }
        }
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        spdlog::error("device {} of {}: {} failed: {}", request.session, client.peer,
                      op_name(request.op), printable(e.what()));
        reply_payload = zmq::message_t();
        reply.status = Status::error;
        reply.text = std::string("remote: ") + e.what();
        return true;
    }
}

std::string Sessions::published_names() const {
    std::string names;
    for (const auto &[name, options] : policy_.devices) {
        names += (names.empty() ? "" : "\n") + name;
    }
    return names;
}

void Sessions::create_device(const Client &client, const Message &request, Message &reply) {
    const auto newline = request.text.find('\n');
    // A client that names no device gets the default one.
    const std::string name =
        newline == 0 || request.text.empty() ? "default" : request.text.substr(0, newline);
    const bool has_own = newline != std::string::npos;
    const std::string own = has_own ? request.text.substr(newline + 1) : std::string();
    reply.session = 0;
    auto published = policy_.devices.find(name);
    if (published == policy_.devices.end()) {
        std::string names = published_names();
        std::replace(names.begin(), names.end(), '\n', ' ');
        refuse(client, reply, Status::error,
               "remote: this server publishes no device named '" + printable(name) +
                   "' (it publishes: " + names + ")");
        reply.value = invalid_options_error;
        return;
    }
    if (has_own && !policy_.client_options) {
        refuse(client, reply, Status::error,
               "remote: this server takes no device options from clients (it was started "
               "without --client-options); ask for a published device by name");
        reply.value = invalid_options_error;
        return;
    }
    const std::string owner = client_of(client);
    auto state = clients_.find(owner);
    if (state == clients_.end() && clients_.size() >= limits_.max_clients) {
        return refuse(client, reply, Status::error,
                      "remote: the server's limit of " + std::to_string(limits_.max_clients) +
                          " clients is reached (--max-clients)");
    }
    if (state != clients_.end() && state->second.devices >= limits_.max_devices_per_client) {
        return refuse(client, reply, Status::error,
                      "remote: this client's limit of " +
                          std::to_string(limits_.max_devices_per_client) +
                          " devices is reached (--max-devices)");
    }
    const std::string options =
        has_own ? published->second + (published->second.empty() ? "" : " ") + own
                : published->second;
    try {
        DevicePtr device = manager_->create_device(options);
        if (!device) {
            throw std::runtime_error("the plug-in created no device");
        }
        const std::uint64_t id = random_id();
        Session session{id, random_id(), owner, client.key, {client.route}, client.peer,
                        std::move(device), Clock::now()};
        reply.session = id;
        reply.length = session.key;
        reply.value = static_cast<std::uint32_t>(
            std::min<std::size_t>(limits_.max_message_bytes, 0xFFFF'FFFFu));
        sessions_.emplace(id, std::move(session));
        ++clients_[owner].devices;
        spdlog::info("client {} connected: device {} created as '{}'{}", client.peer, id, name,
                     has_own ? " with its options '" + printable(own) + "'" : std::string());
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        spdlog::error("client {}: creating device '{}' failed: {}", client.peer, name,
                      printable(e.what()));
        reply.status = Status::error;
        reply.text = e.what();
        // Bad options stay a ValueError on the client, as they would be locally.
        reply.value =
            dynamic_cast<const std::invalid_argument *>(&e) != nullptr ? invalid_options_error : 0;
    }
}

void Sessions::attach(const Client &client, const Message &request, Message &reply) {
    auto found = sessions_.find(request.session);
    if (found == sessions_.end() || found->second.curve_key != client.key ||
        found->second.key != request.length) {
        reply.status = Status::error;
        reply.text = unknown_session(request.session);
        return;
    }
    auto &routes = found->second.routes;
    if (std::find(routes.begin(), routes.end(), client.route) != routes.end()) {
        return;
    }
    // Connections that went away are never told of: keep the newest, and the creator.
    if (routes.size() >= 2 * limits_.max_streams_per_client + 8) {
        routes.erase(routes.begin() + 1);
    }
    routes.push_back(client.route);
    found->second.last_seen = Clock::now();
}

void Sessions::start_stream(Session &session, const Client &client, const Message &request,
                            Message &reply) {
    const std::uint64_t max_chunk = std::min(limits_.max_message_bytes, limits_.max_stream_bytes);
    if (request.length > max_chunk) {
        return refuse(client, reply, Status::failure,
                      "remote: a chunk size of " + std::to_string(request.length) +
                          " bytes is over the server's limit of " + std::to_string(max_chunk) +
                          " bytes (--max-message, --max-stream-bytes)");
    }
    ClientState &owner = clients_[session.client];
    if (owner.streams >= limits_.max_streams_per_client) {
        return refuse(client, reply, Status::failure,
                      "remote: this client's limit of " +
                          std::to_string(limits_.max_streams_per_client) +
                          " streams is reached (--max-streams)");
    }
    auto outbox = std::make_shared<StreamOutbox>(wake_fd_, limits_.max_stream_bytes,
                                                 outbox_item_limit);
    auto handle = session.device->start_read_stream(
        request.addr, StreamOutbox::make_callback(outbox), request.length);
    if (!handle || !*handle) {
        reply.status = Status::failure;
        reply.text = "the device does not stream";
        return;
    }
    const std::uint64_t id = random_id();
    streams_.emplace(id, ServedStream{id, session.id, session.client, client.route,
                                      std::move(outbox), std::move(*handle)});
    ++owner.streams;
    reply.stream = id;
    spdlog::info("device {} of {}: stream {} started", session.id, session.peer, id);
}

void Sessions::stop_stream(std::uint64_t id) {
    auto found = streams_.find(id);
    if (found == streams_.end()) {
        return;
    }
    try {
        // Joins the device's producer; it never waits for us, so this cannot deadlock.
        found->second.handle->stop();
    } catch (const std::exception &e) {
        spdlog::error("stream {}: stop failed: {}", id, printable(e.what()));
    }
    found->second.handle.reset();
    dropped_by_ended_streams_ += found->second.outbox->dropped_total();
    auto owner = clients_.find(found->second.client);
    if (owner != clients_.end() && owner->second.streams != 0) {
        --owner->second.streams;
    }
    streams_.erase(found);
}

void Sessions::end_session(std::uint64_t id, const std::string &why) {
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
            notify_(it->second.route, text);
            text.op = Op::stream_end;
            text.text.clear();
            notify_(it->second.route, text);
            stop_stream(it->first);
            ++stopped;
        }
        it = next;
    }
    spdlog::info("client {} {}: device {} destroyed, {} streams stopped", found->second.peer, why,
                 id, stopped);
    auto owner = clients_.find(found->second.client);
    sessions_.erase(found);
    // The client's read replies still in flight keep their counter alive on their own.
    if (owner != clients_.end() && --owner->second.devices == 0) {
        clients_.erase(owner);
    }
}

void Sessions::expire(Clock::time_point heard_by, std::chrono::milliseconds timeout) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        const auto next = std::next(it);
        if (heard_by - it->second.last_seen > timeout) {
            end_session(it->first, "disconnected (no heartbeat for " +
                                       std::to_string(timeout.count()) + " ms)");
        }
        it = next;
    }
}

void Sessions::end_revoked(const std::function<bool(const std::string &key)> &allowed) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        const auto next = std::next(it);
        if (!it->second.curve_key.empty() && !allowed(it->second.curve_key)) {
            end_session(it->first, "revoked (its key left the allowed folder)");
        }
        it = next;
    }
}

std::string Sessions::status_text() const {
    std::uint64_t dropped = dropped_by_ended_streams_;
    for (const auto &[id, stream] : streams_) {
        dropped += stream.outbox->dropped_total();
    }
    return std::to_string(sessions_.size()) + " devices, " + std::to_string(streams_.size()) +
           " streams, " + std::to_string(dropped) + " chunks dropped";
}

} // namespace vorn::remote
