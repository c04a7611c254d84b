// The ctypes baseline's device: a paced producer thread that calls a ctypes callback directly
// with each chunk, lent for the call. A chunk that would leave more than `max_backlog` chunks
// due and not yet handed over is dropped, as a device ring of that many chunks would drop it.
#include "paced_loop.hpp"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

struct CtypesProducer {
    using Callback = void (*)(std::uint8_t *, std::uint64_t);
    CtypesProducer(Callback fn, std::uint64_t size, std::uint64_t rate_, std::uint64_t backlog)
        : callback(fn), chunk(size), rate(rate_), max_backlog(backlog), pacing(rate_) {}

    void produce() {
        std::uint64_t sequence = 0;
        for (;;) {
            std::uint64_t due = pacing.wait_due(sequence);
            if (due == 0) {
                return;
            }
            if (due > max_backlog) {
                drops.fetch_add(due - max_backlog, std::memory_order_relaxed);
                sequence += due - max_backlog;
                due = max_backlog;
            }
            for (; due != 0 && !stopped.load(std::memory_order_relaxed); --due, ++sequence) {
                vorn::bench::stamp(chunk.data(), chunk.size(), sequence);
                callback(chunk.data(), chunk.size()); // takes the interpreter lock itself
            }
        }
    }

    Callback callback;
    std::vector<std::uint8_t> chunk;
    std::uint64_t rate;
    std::uint64_t max_backlog;
    vorn::bench::PacedLoop pacing;
    std::atomic<bool> stopped{false};
    std::atomic<std::uint64_t> drops{0};
    std::thread thread;
};

} // namespace

// Called through ctypes.CDLL, which releases the interpreter lock around each call.
extern "C" __attribute__((visibility("default"))) void *
vorn_bench_ctypes_start(CtypesProducer::Callback callback, std::uint64_t chunk_size,
                        std::uint64_t rate, std::uint64_t max_backlog) {
    auto *producer = new CtypesProducer(callback, chunk_size, rate, max_backlog);
    producer->thread = std::thread([producer] { producer->produce(); });
    return producer;
}

// Stops and frees the producer; returns its drop count.
extern "C" __attribute__((visibility("default"))) std::uint64_t
vorn_bench_ctypes_stop(void *handle) {
    auto *producer = static_cast<CtypesProducer *>(handle);
    producer->stopped = true;
    producer->pacing.stop();
    producer->thread.join();
    const std::uint64_t drops = producer->drops.load();
    delete producer;
    return drops;
}
