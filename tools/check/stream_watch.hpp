// A stream callback that watches every call a device makes on it, for the conformance checks.
#pragma once

#include <vorn/device.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>

namespace vorn::check {

// What one stream did to its callback. The checker owns it and outlives the callback, so calls
// made after the callback was destroyed are counted instead of touching freed memory.
// Thread rules: invoke and destroy may come from any thread; readers take mutex.
struct StreamWatch {
    std::mutex mutex;
    int invokes = 0;
    int destroys = 0;
    bool stop_called = false; // set just before stop() or the handle's destruction
    bool stop_returned = false;
    bool end_seen = false;
    int invokes_after_stop = 0;
    int invokes_after_end = 0;
    int invokes_after_destroy = 0;
    bool destroyed_early = false; // before the end marker and before any stop
    int owned_chunks = 0;
    std::string chunk_fault;
    std::deque<OwnedChunk> held; // the latest owned chunks, released at the end
    std::set<std::uint8_t *> held_data;

    // A callback that reports to this watch.
    StreamCallback callback();
    void mark_stopping();
    void mark_stopped();
    // Releases every held chunk through its own release function, once.
    void release_held();
    void wait_for_invokes(int count, int timeout_ms);
};

} // namespace vorn::check
