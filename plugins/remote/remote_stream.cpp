#include "remote_stream.hpp"

#include "link.hpp"
#include "protocol.hpp"
#include "received_chunks.hpp"

#include <zmq_addon.hpp>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace vorn::remote {
namespace {

constexpr auto poll_interval = std::chrono::milliseconds(20);

std::string monitor_address(const void *owner) {
    static std::atomic<std::uint64_t> counter{0};
    return "inproc://vorn-remote-monitor-" + std::to_string(counter++) + "-" +
           std::to_string(reinterpret_cast<std::uintptr_t>(owner));
}

// A stream's connection carries one start and, at the end, one stop.
constexpr std::uint32_t start_seq = 1;
constexpr std::uint32_t stop_seq = 2;

} // namespace

std::unique_ptr<RemoteStream>
RemoteStream::start(zmq::context_t &context, const RemoteOptions &options, std::uint64_t session,
                    std::uint64_t key, std::uint32_t addr, std::uint64_t chunk_size,
                    StreamCallback &callback, std::string &refusal) {
    keep_receive_heap_warm();
    zmq::socket_t socket = connect_dealer(context, options);
    // Sent ahead of the start, unanswered-for: a wrong key shows as an unknown device.
    const auto attach_header = encode_message(attach_request(session, key));
    socket.send(zmq::buffer(attach_header), zmq::send_flags::dontwait);
    Message request;
    request.op = Op::stream_start;
    request.seq = start_seq;
    request.session = session;
    request.addr = addr;
    request.length = chunk_size;
    const auto header = encode_message(request);
    socket.send(zmq::buffer(header), zmq::send_flags::dontwait);
    Message reply;
    if (!await_reply(socket, request, Clock::now() + options.timeout, reply)) {
        throw std::runtime_error(no_reply(options, options.timeout) + " to start a stream");
    }
    if (reply.status == Status::failure) {
        refusal = reply.text;
        return nullptr;
    }
    if (reply.status != Status::ok) {
        throw std::runtime_error("remote: " + options.endpoint + ": " + reply.text);
    }
    return std::unique_ptr<RemoteStream>(new RemoteStream(
        context, options, std::move(socket), session, reply.stream, std::move(callback)));
}

RemoteStream::RemoteStream(zmq::context_t &context, const RemoteOptions &options,
                           zmq::socket_t socket, std::uint64_t session, std::uint64_t stream,
                           StreamCallback &&callback)
    : options_(options), socket_(std::move(socket)), session_(session), stream_(stream),
      callback_(std::move(callback)) {
    const std::string address = monitor_address(this);
    if (zmq_socket_monitor(socket_.handle(), address.c_str(), ZMQ_EVENT_DISCONNECTED) != 0) {
        throw zmq::error_t();
    }
    monitor_ = zmq::socket_t(context, zmq::socket_type::pair);
    monitor_.set(zmq::sockopt::linger, 0);
    monitor_.connect(address);
    receiver_ = std::thread([this] { receive(); });
}

RemoteStream::~RemoteStream() { stop(); }

void RemoteStream::stop() {
    if (std::this_thread::get_id() == receiver_.get_id()) {
        stop_requested_ = true; // a thread cannot join itself; a later stop() finishes
        return;
    }
    std::lock_guard lock(stop_mutex_);
    if (stopped_) {
        return;
    }
    stop_deadline_ = (Clock::now() + options_.timeout).time_since_epoch().count();
    stop_requested_ = true;
    if (receiver_.joinable()) {
        receiver_.join();
    }
    // No invoke follows: the receiving thread has ended.
    callback_.reset();
    stopped_ = true;
}

void RemoteStream::deliver(StreamEvent &event) { callback_(event); }

void RemoteStream::receive() {
    // An exception must not leave a thread function: report it as the stream's last events.
    try {
        receive_events();
        if (!lost_) {
            ask_server_to_stop();
        }
    } catch (const std::exception &e) {
        if (!ended_) {
            try {
                StreamEvent error{std::in_place_index<1>, "remote: stream from " +
                                                              options_.endpoint +
                                                              " failed: " + e.what()};
                deliver(error);
                StreamEvent end;
                deliver(end);
            } catch (const std::exception &) {
                // nothing more can be reported
            }
        }
    }
    zmq_socket_monitor(socket_.handle(), nullptr, 0);
}

void RemoteStream::lose_connection() {
    lost_ = true;
    if (ended_) {
        return;
    }
    ended_ = true;
    StreamEvent error{std::in_place_index<1>,
                      "remote: lost the connection to " + options_.endpoint + " mid-stream"};
    deliver(error);
    StreamEvent end;
    deliver(end);
}

void RemoteStream::receive_events() {
    while (!stop_requested_) {
        zmq::pollitem_t items[] = {{socket_.handle(), 0, ZMQ_POLLIN, 0},
                                   {monitor_.handle(), 0, ZMQ_POLLIN, 0}};
        zmq::poll(items, 2, poll_interval);
        if ((items[1].revents & ZMQ_POLLIN) != 0) {
            std::vector<zmq::message_t> frames;
            if (zmq::recv_multipart(monitor_, std::back_inserter(frames),
                                    zmq::recv_flags::dontwait) &&
                frames[0].size() >= 2) {
                std::uint16_t event = 0;
                std::memcpy(&event, frames[0].data(), sizeof(event));
                if (event == ZMQ_EVENT_DISCONNECTED) {
                    lose_connection();
                }
            }
        }
        for (int n = 0; n < 256 && (items[0].revents & ZMQ_POLLIN) != 0 && !stop_requested_; ++n) {
            zmq::message_t header;
            if (!socket_.recv(header, zmq::recv_flags::dontwait)) {
                break;
            }
            zmq::message_t payload;
            if (header.more()) {
                [[maybe_unused]] auto got = socket_.recv(payload, zmq::recv_flags::none);
                while (payload.more()) { // more frames than the protocol has: skip them
                    zmq::message_t extra;
                    got = socket_.recv(extra, zmq::recv_flags::none);
                    if (!extra.more()) {
                        break;
                    }
                }
            }
            Message message;
            std::string error;
            if (ended_ || !parse_message(header.data(), header.size(), message, error) ||
                message.stream != stream_) {
                continue;
            }
            if (message.op == Op::stream_chunk) {
                StreamEvent chunk = adopt_message(std::move(payload));
                deliver(chunk);
            } else if (message.op == Op::stream_text) {
                StreamEvent text{std::in_place_index<1>, std::move(message.text)};
                deliver(text);
            } else if (message.op == Op::stream_end) {
                ended_ = true;
                StreamEvent end;
                deliver(end);
            }
        }
    }
}

void RemoteStream::ask_server_to_stop() {
    Message request;
    request.op = Op::stream_stop;
    request.seq = stop_seq;
    request.session = session_;
    request.stream = stream_;
    const auto header = encode_message(request);
    if (!socket_.send(zmq::buffer(header), zmq::send_flags::dontwait)) {
        return;
    }
    const Clock::time_point deadline{Clock::duration(stop_deadline_.load())};
    // Chunks still on their way are discarded while the acknowledgement is awaited.
    Message reply;
    await_reply(socket_, request, deadline, reply);
}

} // namespace vorn::remote
