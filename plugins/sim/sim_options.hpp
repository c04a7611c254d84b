// The options text of the simulated device.
//
// Format: `key=value` items separated by commas or white space; later items override earlier
// ones; an empty text gives every default. Keys:
//   name=TEXT              device name shown by get_info()            (default sim0)
//   fail_send=BOOL         send_registers() returns Failure           (default false)
//   fail_read=BOOL         read_registers() returns Failure           (default false)
//   stream_bytes=N         bytes per stream, then the end marker; 0 = until stopped (default 0)
//   stream_rate=N          chunks per second; 0 = as fast as possible (default 0). The stream
//                          sleeps until a chunk is due, then emits every chunk due by then
//   stream_chunks=owned|lent  give chunks away or lend them          (default owned)
//   stream_error_every=N   an error text after every N chunks; 0 = never (default 0)
//   stream_stamp=BOOL      stamp each chunk's first 16 bytes: sequence number and
//                          CLOCK_MONOTONIC nanoseconds, both little-endian 64-bit (default false)
//   stream_fill=BOOL       write the byte pattern into each chunk; off, a chunk's bytes are left
//                          as they are (zero, or an earlier chunk's) and only the stamp is
//                          written, so a benchmark measures the module, not the fill (default true)
//   default_chunk_size=N   chunk size used when a stream asks for 0   (default 4096)
//   block_size=N           bytes of the block space that write and read reach, at most 2^32
//                          (default 1048576); a transfer beyond it transfers nothing
// BOOL is one of 0, 1, false, true, no, yes. N is a decimal unsigned 64-bit integer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::sim {

enum class ChunkMode { owned, lent };

struct SimOptions {
    std::string name = "sim0";
    bool fail_send = false;
    bool fail_read = false;
    std::uint64_t stream_bytes = 0;
    std::uint64_t stream_rate = 0;
    ChunkMode stream_chunks = ChunkMode::owned;
    std::uint64_t stream_error_every = 0;
    bool stream_stamp = false;
    bool stream_fill = true;
    std::uint64_t default_chunk_size = 4096;
    std::uint64_t block_size = std::uint64_t{1} << 20;
};

// The whole 32-bit address space: the most block_size can be.
inline constexpr std::uint64_t max_block_size = std::uint64_t{1} << 32;

// Throws std::invalid_argument naming the offending item for an unknown key, an item without
// '=', or a value of the wrong form.
SimOptions parse_sim_options(std::string_view text);

// The option keys with one line of help each, for get_device_options().
std::string describe_sim_options();

} // namespace vorn::sim
