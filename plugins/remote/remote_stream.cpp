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
// Messages taken per wake-up, so a disconnect report is not starved by a flood of chunks.
constexpr int messages_per_poll = 256;

// A pair socket that reports when `socket` loses its connection.
zmq::socket_t watch_disconnects(zmq::context_t &context, zmq::socket_t &socket) {
    static std::atomic<std::uint64_t> counter{0};
    const std::string address = "inproc://vorn-remote-monitor-" + std::to_string(counter++) + "-" +
                                std::to_string(reinterpret_cast<std::uintptr_t>(&socket));
    if (zmq_socket_monitor(socket.handle(), address.c_str(), ZMQ_EVENT_DISCONNECTED) != 0) {
        throw zmq::error_t();
    }
    zmq::socket_t monitor(context, zmq::socket_type::pair);
    monitor.set(zmq::sockopt::linger, 0);
    monitor.connect(address);
    return monitor;
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
    const Message request{.op = Op::stream_start, .seq = start_seq, .session = session,
                          .addr = addr, .length = chunk_size, .text = {}};
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
    : options_(options), socket_(std::move(socket)), monitor_(watch_disconnects(context, socket_)),
      session_(session), stream_(stream),
      thread_(std::move(callback), "remote: stream from " + options_.endpoint + " failed: ",
              [this](StreamEmitter &emit, const std::stop_token &stop) { receive(emit, stop); }) {}

RemoteStream::~RemoteStream() {
    if (creator_.inherited()) {
        // Closing would signal the parent's ZeroMQ threads.
        static_cast<void>(new zmq::socket_t(std::move(socket_)));
        static_cast<void>(new zmq::socket_t(std::move(monitor_)));
        return;
    }
    stop();
    zmq_socket_monitor(socket_.handle(), nullptr, 0);
}

void RemoteStream::stop() {
    // The server's answer is awaited until the timeout counted from the first request, but not
    // by a callback that stops its own stream.
    Clock::rep unset = 0;
    if (!thread_.on_producer_thread()) {
        stop_deadline_.compare_exchange_strong(
            unset, (Clock::now() + options_.timeout).time_since_epoch().count());
    }
    thread_.stop();
}

void RemoteStream::receive(StreamEmitter &emit, const std::stop_token &stop) {
    while (!stop.stop_requested()) {
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
                    lost_ = true;
                    emit.error("remote: lost the connection to " + options_.endpoint +
                               " mid-stream");
                    emit.end();
                }
            }
        }
        const bool readable = (items[0].revents & ZMQ_POLLIN) != 0;
        for (int n = 0; readable && n < messages_per_poll && !stop.stop_requested(); ++n) {
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
            if (emit.ended() || !parse_message(header.data(), header.size(), message, error) ||
                message.stream != stream_) {
                continue;
            }
            if (message.op == Op::stream_chunk) {
                emit(adopt_message(std::move(payload)));
            } else if (message.op == Op::stream_text) {
                emit.error(std::move(message.text));
            } else if (message.op == Op::stream_end) {
                emit.end();
            }
        }
    }
    if (!lost_) {
        ask_server_to_stop();
    }
}

void RemoteStream::ask_server_to_stop() {
    const Message request{
        .op = Op::stream_stop, .seq = stop_seq, .session = session_, .stream = stream_, .text = {}};
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
