#include "sim_options.hpp"

#include <vorn/options.hpp>

namespace vorn::sim {
namespace {

void apply(SimOptions &options, const Option &item) {
    const std::string_view key = item.key;
    if (key == "name") {
        options.name = item.text("a non-empty name");
    } else if (key == "fail_send") {
        options.fail_send = item.boolean();
    } else if (key == "fail_read") {
        options.fail_read = item.boolean();
    } else if (key == "stream_bytes") {
        options.stream_bytes = item.count();
    } else if (key == "stream_rate") {
        options.stream_rate = item.count();
    } else if (key == "stream_chunks") {
        if (item.value != "owned" && item.value != "lent") {
            item.bad("owned or lent");
        }
        options.stream_chunks = item.value == "lent" ? ChunkMode::lent : ChunkMode::owned;
    } else if (key == "stream_error_every") {
        options.stream_error_every = item.count();
    } else if (key == "stream_stamp") {
        options.stream_stamp = item.boolean();
    } else if (key == "stream_fill") {
        options.stream_fill = item.boolean();
    } else if (key == "default_chunk_size") {
        options.default_chunk_size = item.count();
        if (options.default_chunk_size == 0) {
            item.bad("an unsigned integer greater than 0");
        }
    } else if (key == "block_size") {
        options.block_size = item.count();
        if (options.block_size > max_block_size) {
            item.bad("at most 4294967296 (the 32-bit address space)");
        }
    } else {
        item.unknown();
    }
}

} // namespace

SimOptions parse_sim_options(std::string_view text) {
    SimOptions options;
    for (const Option &item : split_options(text).items) {
        apply(options, item);
    }
    return options;
}
std::string describe_sim_options() {
    return "Options: key=value items separated by commas or spaces (a value holding either\n"
           "in double quotes: name=\"my sim\"), all optional.\n"
           "  name=TEXT              device name (default sim0)\n"
           "  fail_send=BOOL         send_registers() fails (default 0)\n"
           "  fail_read=BOOL         read_registers() fails (default 0)\n"
           "  stream_bytes=N         bytes per stream before the end marker, 0 = until stopped\n"
           "  stream_rate=N          chunks per second, 0 = as fast as possible\n"
           "  stream_chunks=MODE     owned (chunks given away) or lent (chunks lent per call)\n"
           "  stream_error_every=N   an error text after every N chunks, 0 = never\n"
           "  stream_stamp=BOOL      first 16 bytes of each chunk: sequence number and\n"
           "                         CLOCK_MONOTONIC ns, little-endian 64-bit each\n"
           "  stream_fill=BOOL       write the pattern into each chunk (default 1); 0 leaves\n"
           "                         the bytes as they are and writes only the stamp\n"
           "  default_chunk_size=N   chunk size when a stream asks for 0 (default 4096)\n"
           "  block_size=N           bytes of the block space (default 1048576, at most\n"
           "                         4294967296): write/read at ADDR reach bytes ADDR on, read\n"
           "                         back what was last written (zeros elsewhere), and\n"
           "                         transfer nothing (returning 0) past the end\n"
           "BOOL: 0/1, false/true, no/yes. Stream bytes follow the pattern byte[i] = i % 251,\n"
           "i counted from the start of the stream.";
}

} // namespace vorn::sim
