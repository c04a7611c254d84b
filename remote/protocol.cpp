#include "protocol.hpp"

#include <array>

namespace vorn::remote {
namespace {

template <typename T> void store(std::uint8_t *out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

template <typename T> T load(const std::uint8_t *in) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value | static_cast<T>(static_cast<T>(in[i]) << (8 * i)));
    }
    return value;
}

constexpr std::array<const char *, last_op + 1> op_names = {"none",
                                                            "create_device",
                                                            "destroy_device",
                                                            "ping",
                                                            "set_register",
                                                            "send_registers",
                                                            "set_register_sync",
                                                            "get_register",
                                                            "read_registers",
                                                            "get_register_sync",
                                                            "trigger",
                                                            "write",
                                                            "read",
                                                            "get_status",
                                                            "get_info",
                                                            "server_status",
                                                            "stream_start",
                                                            "stream_stop",
                                                            "stream_chunk",
                                                            "stream_text",
                                                            "stream_end",
                                                            "refused",
                                                            "attach",
                                                            "list_devices"};

} // namespace

std::vector<std::uint8_t> encode_message(const Message &message) {
    std::vector<std::uint8_t> out(header_size + message.text.size());
    encode_header(message, out.data());
    std::copy(message.text.begin(), message.text.end(), out.data() + header_size);
    return out;
}

void encode_header(const Message &message, std::uint8_t *p) noexcept {
    p[0] = protocol_magic;
    p[1] = protocol_version;
    p[2] = static_cast<std::uint8_t>(message.op);
    p[3] = static_cast<std::uint8_t>(message.status);
    store(p + 4, message.seq);
    store(p + 8, message.session);
    store(p + 16, message.stream);
    store(p + 24, message.addr);
    store(p + 28, message.value);
    store(p + 32, message.mask);
    store(p + 36, std::uint32_t{0});
    store(p + 40, message.length);
}

bool parse_message(const void *data, std::size_t size, Message &out, std::string &error) {
    const auto *p = static_cast<const std::uint8_t *>(data);
    if (size < header_size) {
        error = "message of " + std::to_string(size) + " bytes is shorter than a header";
        return false;
    }
    if (p[0] != protocol_magic || p[1] != protocol_version) {
        error = "not a version " + std::to_string(protocol_version) + " vorn message";
        return false;
    }
    if (p[2] == 0 || p[2] > last_op) {
        error = "unknown op " + std::to_string(p[2]);
        return false;
    }
    if (p[3] > static_cast<std::uint8_t>(Status::error)) {
        error = "unknown status " + std::to_string(p[3]);
        return false;
    }
    if (load<std::uint32_t>(p + 36) != 0) {
        error = "reserved header bytes are not zero";
        return false;
    }
    if (size - header_size > max_text_size) {
        error = "text of " + std::to_string(size - header_size) + " bytes is too long";
        return false;
    }
    out.op = static_cast<Op>(p[2]);
    out.status = static_cast<Status>(p[3]);
    out.seq = load<std::uint32_t>(p + 4);
    out.session = load<std::uint64_t>(p + 8);
    out.stream = load<std::uint64_t>(p + 16);
    out.addr = load<std::uint32_t>(p + 24);
    out.value = load<std::uint32_t>(p + 28);
    out.mask = load<std::uint32_t>(p + 32);
    out.length = load<std::uint64_t>(p + 40);
    out.text.assign(reinterpret_cast<const char *>(p + header_size), size - header_size);
    return true;
}

std::string op_name(Op op) {
    const auto index = static_cast<std::uint8_t>(op);
    if (index == 0 || index > last_op) {
        return "op " + std::to_string(index);
    }
    return op_names[index];
}

} // namespace vorn::remote
