// The options text of the simulated device, in the grammar of <vorn/options.hpp>; an empty text
// gives every default. The keys and their meaning: describe_sim_options().
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
