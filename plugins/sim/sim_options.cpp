#include "sim_options.hpp"

#include <charconv>
#include <stdexcept>

namespace vorn::sim {
namespace {

bool is_separator(char c) { return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

[[noreturn]] void bad_value(std::string_view key, std::string_view value, const char *expected) {
    throw std::invalid_argument("bad value '" + std::string(value) + "' for option '" +
                                std::string(key) + "': expected " + expected);
}

std::uint64_t parse_count(std::string_view key, std::string_view value) {
    std::uint64_t result = 0;
    const auto *end = value.data() + value.size();
    auto [last, error] = std::from_chars(value.data(), end, result);
    if (value.empty() || error != std::errc() || last != end) {
        bad_value(key, value, "an unsigned integer");
    }
    return result;
}

bool parse_bool(std::string_view key, std::string_view value) {
    if (value == "1" || value == "true" || value == "yes") {
        return true;
    }
    if (value == "0" || value == "false" || value == "no") {
        return false;
    }
    bad_value(key, value, "0, 1, false, true, no or yes");
}

void apply(SimOptions &options, std::string_view key, std::string_view value) {
    if (key == "name") {
        if (value.empty()) {
            bad_value(key, value, "a non-empty name");
        }
        options.name = std::string(value);
    } else if (key == "fail_send") {
        options.fail_send = parse_bool(key, value);
    } else if (key == "fail_read") {
        options.fail_read = parse_bool(key, value);
    } else if (key == "stream_bytes") {
        options.stream_bytes = parse_count(key, value);
    } else if (key == "stream_rate") {
        options.stream_rate = parse_count(key, value);
    } else if (key == "stream_chunks") {
        if (value == "owned") {
            options.stream_chunks = ChunkMode::owned;
        } else if (value == "lent") {
            options.stream_chunks = ChunkMode::lent;
        } else {
            bad_value(key, value, "owned or lent");
        }
    } else if (key == "stream_error_every") {
        options.stream_error_every = parse_count(key, value);
    } else if (key == "stream_stamp") {
        options.stream_stamp = parse_bool(key, value);
    } else if (key == "stream_fill") {
        options.stream_fill = parse_bool(key, value);
    } else if (key == "default_chunk_size") {
        options.default_chunk_size = parse_count(key, value);
        if (options.default_chunk_size == 0) {
            bad_value(key, value, "an unsigned integer greater than 0");
        }
    } else if (key == "block_size") {
        options.block_size = parse_count(key, value);
        if (options.block_size > max_block_size) {
            bad_value(key, value, "at most 4294967296 (the 32-bit address space)");
        }
    } else {
        throw std::invalid_argument("unknown option '" + std::string(key) +
                                    "' (see get_device_options())");
    }
}

} // namespace

SimOptions parse_sim_options(std::string_view text) {
    SimOptions options;
    std::size_t position = 0;
    while (position < text.size()) {
        if (is_separator(text[position])) {
            ++position;
            continue;
        }
        std::size_t end = position;
        while (end < text.size() && !is_separator(text[end])) {
            ++end;
        }
        const std::string_view item = text.substr(position, end - position);
        const auto equals = item.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            throw std::invalid_argument("malformed option '" + std::string(item) +
                                        "': expected key=value");
        }
        apply(options, item.substr(0, equals), item.substr(equals + 1));
        position = end;
    }
    return options;
}

std::string describe_sim_options() {
    return "Options: key=value items separated by commas or spaces, all optional.\n"
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
