#include "remote_device.hpp"

#include "link.hpp"
#include "remote_stream.hpp"
#include "security.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vorn::remote {

RemoteDevice::RemoteDevice(zmq::context_t &context, RemoteOptions options)
    : context_(context), options_(std::move(options)), channel_(context_, options_) {
    Message create = request(Op::create_device);
    create.text = options_.device;
    if (options_.device_options) {
        create.text += "\n" + *options_.device_options;
    }
    Message reply;
    std::string error;
    if (!channel_.call(create, reply, error)) {
        throw std::runtime_error(error);
    }
    if (reply.status != Status::ok) {
        const std::string what = "remote: " + options_.endpoint + ": " + reply.text;
        if (reply.value == invalid_options_error) {
            throw std::invalid_argument(what);
        }
        throw std::runtime_error(what);
    }
    session_ = reply.session;
    session_key_ = reply.length;
    if (reply.value != 0) {
        // The server's largest frame: pieces stay under it.
        piece_ = std::min<std::uint64_t>(preferred_piece, reply.value);
    }
    channel_.set_session(session_, session_key_);
    heartbeat_ = std::thread([this] { beat(); });
}

RemoteDevice::~RemoteDevice() {
    if (creator_.inherited()) {
        // The heartbeat thread is the parent's, and so are the sockets' ZeroMQ threads.
        static_cast<void>(new std::thread(std::move(heartbeat_)));
        static_cast<void>(heartbeat_stop_.release());
        channel_.abandon();
        return;
    }
    {
        std::lock_guard lock(heartbeat_mutex_);
        stopping_ = true;
    }
    heartbeat_stop_->notify_all();
    heartbeat_.join();
    try {
        Message reply;
        std::string error;
        channel_.call(request(Op::destroy_device), reply, error,
                      std::min(options_.timeout, destroy_wait));
    } catch (const std::exception &) {
        // the server drops the device when the heartbeats stop
    }
}

void RemoteDevice::beat() {
    // A socket of its own: a request waiting for a slow reply must not hold up the beats.
    try {
        zmq::socket_t socket = connect_dealer(context_, options_);
        Message beat = request(Op::ping);
        beat.length = session_key_; // this connection never created the session
        const auto ping = encode_message(beat);
        std::unique_lock lock(heartbeat_mutex_);
        while (!heartbeat_stop_->wait_for(lock, std::chrono::milliseconds(heartbeat_interval_ms),
                                         [this] { return stopping_; })) {
            // A full connection drops the beat; the next one may get through.
            [[maybe_unused]] auto sent = socket.send(zmq::buffer(ping), zmq::send_flags::dontwait);
        }
    } catch (const std::exception &) {
        // no beats: the server drops the device after its client timeout
    }
}

Message RemoteDevice::request(Op op, std::uint32_t addr, std::uint32_t value,
                              std::uint32_t mask) const {
    return {.op = op, .session = session_, .addr = addr, .value = value, .mask = mask, .text = {}};
}

void RemoteDevice::remember_error(const std::string &error) {
    std::lock_guard lock(error_mutex_);
    last_error_ = error;
}

bool RemoteDevice::call(Message request, Message &reply, bool device_result) {
    std::string error;
    if (!channel_.call(request, reply, error)) {
        remember_error(error);
    } else if (reply.status == Status::error) {
        remember_error(reply.text);
    } else if (device_result && reply.status != Status::ok) {
        remember_error("remote: " + options_.endpoint + ": " + op_name(request.op) +
                       " failed on the device");
    } else {
        return true;
    }
    return false;
}

BasicDeviceStatus RemoteDevice::status_call(Op op, std::uint32_t addr, std::uint32_t value,
                                            std::uint32_t mask) {
    Message reply;
    return call(request(op, addr, value, mask), reply, true) ? BasicDeviceStatus::Success
                                                             : BasicDeviceStatus::Failure;
}

BasicDeviceStatus RemoteDevice::set_register_sync(std::uint32_t addr, std::uint32_t value,
                                                  std::uint32_t mask) {
    return status_call(Op::set_register_sync, addr, value, mask);
}

BasicDeviceStatus RemoteDevice::set_register(std::uint32_t addr, std::uint32_t value,
                                             std::uint32_t mask) {
    return status_call(Op::set_register, addr, value, mask);
}

BasicDeviceStatus RemoteDevice::send_registers() {
    return status_call(Op::send_registers);
}

BasicDeviceStatus RemoteDevice::read_registers() {
    return status_call(Op::read_registers);
}

std::optional<std::uint32_t> RemoteDevice::get_register_sync(std::uint32_t addr) {
    Message reply;
    return call(request(Op::get_register_sync, addr), reply, true)
               ? std::optional<std::uint32_t>(reply.value)
               : std::nullopt;
}

std::uint32_t RemoteDevice::get_register(std::uint32_t addr) {
    Message reply;
    return call(request(Op::get_register, addr), reply) ? reply.value : 0;
}

BasicDeviceStatus RemoteDevice::trigger(std::uint32_t addr, std::int32_t value) {
    return status_call(Op::trigger, addr, static_cast<std::uint32_t>(value));
}

std::uint64_t RemoteDevice::transfer(Op op, std::uint32_t addr, std::uint64_t length,
                                     std::uint8_t *data) {
    // Pieces go to consecutive addresses, never past the end of the 32-bit address space; the
    // count is the bytes confirmed in order, up to the first short or missing reply.
    length = std::min(length, (std::uint64_t{1} << 32) - addr);
    if (length == 0) {
        return 0;
    }
    const auto piece_size = [&](std::size_t i) { return std::min(piece_, length - i * piece_); };
    std::uint64_t confirmed = 0;
    std::string error;
    channel_.pipeline(
        static_cast<std::size_t>((length + piece_ - 1) / piece_), pieces_in_flight,
        [&](std::size_t i, Message &piece, zmq::const_buffer &bytes) {
            piece = request(op, static_cast<std::uint32_t>(addr + i * piece_));
            if (op == Op::write) {
                bytes = zmq::const_buffer(data + i * piece_, piece_size(i));
            } else {
                piece.length = piece_size(i);
            }
        },
        [&](std::size_t i, const Message &reply, zmq::message_t &bytes) {
            if (reply.status == Status::error) {
                error = reply.text;
                return false;
            }
            std::uint64_t got = std::min(reply.length, piece_size(i));
            if (op == Op::read) {
                got = std::min(got, std::uint64_t{bytes.size()});
                if (got != 0) {
                    std::memcpy(data + i * piece_, bytes.data(), got);
                }
            }
            confirmed += got;
            return got == piece_size(i);
        },
        error);
    if (!error.empty() || confirmed < length) {
        remember_error(!error.empty() ? error
                                      : "remote: " + options_.endpoint + ": " + op_name(op) +
                                            " failed on the device after " +
                                            std::to_string(confirmed) + " bytes");
    }
    return confirmed;
}

std::uint64_t RemoteDevice::write(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) {
    return transfer(Op::write, addr, length, data);
}

std::uint64_t RemoteDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) {
    return transfer(Op::read, addr, length, data);
}

std::optional<std::unique_ptr<Device::DataStream>>
RemoteDevice::start_read_stream(std::uint32_t addr, StreamCallback &&callback,
                                std::uint64_t chunk_size) {
    std::string refusal;
    try {
        if (auto stream = RemoteStream::start(context_, options_, session_, session_key_, addr,
                                              chunk_size, callback, refusal)) {
            return std::unique_ptr<DataStream>(std::move(stream));
        }
    } catch (const std::exception &e) {
        remember_error(e.what());
        throw;
    }
    remember_error(refusal);
    return std::nullopt;
}

std::optional<std::string> RemoteDevice::get_status() {
    std::string text = "device " + std::to_string(session_) + " ('" + options_.device + "') on " +
                       options_.endpoint + ": ";
    // A status request that fails still says why: the reason is the last error.
    Message device_reply;
    if (call(request(Op::get_status), device_reply)) {
        Message server_reply;
        text += (device_reply.status == Status::ok ? device_reply.text : "no status") + " | " +
                (call(request(Op::server_status), server_reply) ? server_reply.text : "?");
    } else {
        text += "no status";
    }
    std::lock_guard lock(error_mutex_);
    return last_error_.empty() ? text : text + " | last error: " + last_error_;
}

std::optional<std::string> RemoteDevice::get_info() {
    Message reply;
    if (!call(request(Op::get_info), reply)) {
        return std::nullopt;
    }
    return "remote device " + std::to_string(session_) + " on " + options_.endpoint + ": " +
           (reply.status == Status::ok ? reply.text : "no info");
}

} // namespace vorn::remote
