// The wire format shared by vorn-serve and the remote client plug-in.
//
// Every message starts with one header frame: a fixed 48-byte little-endian block, then an
// optional UTF-8 text (options, error texts, status). Bytes (block transfers, stream chunks)
// travel in a second frame, never inside the header, so they are never copied into it.
//
//   off size field
//    0   1   magic 'V'       1  1  version (1)      2  1  op        3  1  status
//    4   4   seq             8  8  session          16 8  stream
//   24   4   addr           28  4  value           32  4  mask      36 4  reserved (0)
//   40   8   length         48  .. text
//
// A reply carries the op and seq of its request. The server routes by ZeroMQ identity; the
// session is the server's handle of one remote device, the stream its handle of one stream
// (both 64 random bits). A session belongs to the connection that created it (and under CURVE
// to that client's key); create_device's reply carries in `length` the session's key, which the
// same client's other connections present to act on it (attach; ping carries it in `length`),
// and in `value` the largest frame the server takes. create_device's text is a published device
// name (empty: "default"), optionally followed by a newline and the client's own options text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::remote {

inline constexpr std::uint8_t protocol_magic = 'V';
inline constexpr std::uint8_t protocol_version = 1;
inline constexpr std::size_t header_size = 48;
inline constexpr std::size_t max_text_size = 1 << 20;

enum class Op : std::uint8_t {
    create_device = 1,
    destroy_device,
    ping, // heartbeat from a client; no reply
    set_register,
    send_registers,
    set_register_sync,
    get_register,
    read_registers,
    get_register_sync,
    trigger,
    write,
    read,
    get_status,
    get_info,
    server_status,
    stream_start,
    stream_stop,
    stream_chunk, // server to client: bytes in the second frame
    stream_text,  // server to client: an error text
    stream_end,   // server to client: the end marker
    refused,      // server to client: a message it could not parse
    attach,       // another connection of a session's client: session, key in length
    list_devices, // the published device names, one per line
};
inline constexpr std::uint8_t last_op = static_cast<std::uint8_t>(Op::list_devices);

enum class Status : std::uint8_t {
    ok = 0,
    failure = 1, // the device answered Failure, or has no value to give
    error = 2,   // the request did not reach the device; text says why
};

// The value of a create_device error reply whose text is about the device's options.
inline constexpr std::uint32_t invalid_options_error = 1;

struct Message {
    Op op = Op::ping;
    Status status = Status::ok;
    std::uint32_t seq = 0;
    std::uint64_t session = 0;
    std::uint64_t stream = 0;
    std::uint32_t addr = 0;
    std::uint32_t value = 0;
    std::uint32_t mask = 0;
    std::uint64_t length = 0;
    std::string text;
};

// The header frame of `message`. Allocates; never throws anything but std::bad_alloc.
std::vector<std::uint8_t> encode_message(const Message &message);

// The first header_size bytes of that frame, into `out`: the whole frame when the message has
// no text. Never allocates or throws.
void encode_header(const Message &message, std::uint8_t *out) noexcept;

// Parses one header frame. Returns false and sets `error` for a frame that is not exactly one
// well-formed header (short, wrong magic or version, unknown op or status, reserved bits set,
// text too long). Any thread; never throws anything but std::bad_alloc.
bool parse_message(const void *data, std::size_t size, Message &out, std::string &error);

// A short name of the op for log lines ("op 42" for one that parse_message would refuse).
std::string op_name(Op op);

} // namespace vorn::remote
