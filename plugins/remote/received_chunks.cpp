#include "received_chunks.hpp"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace vorn::remote {
namespace {

// A chunk's release gets only its data pointer: this maps it back to its message.
struct Registry {
    std::mutex mutex;
    std::unordered_map<std::uint8_t *, std::unique_ptr<zmq::message_t>> messages;
};

Registry &registry() {
    static Registry instance;
    return instance;
}

void release_message(std::uint8_t *data) {
    std::unique_ptr<zmq::message_t> message;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        auto found = r.messages.find(data);
        if (found == r.messages.end()) {
            return;
        }
        message = std::move(found->second);
        r.messages.erase(found);
    }
    // Closed outside the lock: closing may free a large receive buffer.
}

std::uint8_t empty_chunk = 0;

} // namespace

StreamEvent adopt_message(zmq::message_t &&message) {
    if (message.size() == 0) {
        return StreamEvent{std::in_place_index<3>, ChunkView{&empty_chunk, 0}};
    }
    auto owned = std::make_unique<zmq::message_t>(std::move(message));
    auto *data = owned->data<std::uint8_t>();
    const std::uint64_t size = owned->size();
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        r.messages.emplace(data, std::move(owned));
    }
    return StreamEvent{std::in_place_index<2>, release_message, data, size};
}

void keep_receive_heap_warm() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char *tunables = std::getenv("GLIBC_TUNABLES");
        if (std::getenv("MALLOC_TRIM_THRESHOLD_") != nullptr ||
            (tunables != nullptr && std::strstr(tunables, "trim_threshold") != nullptr)) {
            return;
        }
        mallopt(M_TRIM_THRESHOLD, 32 << 20);
    });
}

} // namespace vorn::remote
