// How many stream bytes the events behind a loss message held, passed from the queue to a
// regrouping consumer so that it can keep its framing across the gap.
#pragma once

#include <cstdint>

namespace vorn::stream {

// Written and read on the delivery thread only: the queue adds the bytes of the lost events just
// before it delivers their first loss message, and the consumer takes them when that message
// arrives.
struct LostBytes {
    std::uint64_t pending = 0;

    std::uint64_t take() {
        const std::uint64_t bytes = pending;
        pending = 0;
        return bytes;
    }
};

} // namespace vorn::stream
