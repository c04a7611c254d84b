// Memory for the small objects that every stream event needs (payload holders, shared-pointer
// control blocks), recycled instead of taken from the heap each time.
#pragma once

#include <cstddef>
#include <mutex>
#include <new>

namespace vorn::stream {

// A process-wide free list of blocks of one size. Blocks may be taken on one thread and given
// back on another. The list keeps every block it was given back, so it holds at most as many as
// were once in use at the same time. Thread-safe; never throws except std::bad_alloc from take.
template <std::size_t Size> class BlockRecycler {
  public:
    static void *take() {
        {
            std::lock_guard lock(mutex());
            if (Free *block = head()) {
                head() = block->next;
                return block;
            }
        }
        return ::operator new(block_size);
    }
    static void give(void *block) noexcept {
        std::lock_guard lock(mutex());
        static_cast<Free *>(block)->next = head();
        head() = static_cast<Free *>(block);
    }

  private:
    struct Free {
        Free *next;
    };
    static constexpr std::size_t block_size = Size < sizeof(Free) ? sizeof(Free) : Size;

    // Function-local statics: usable from static destructors and from threads that outlive main.
    static std::mutex &mutex() {
        static auto *instance = new std::mutex();
        return *instance;
    }
    static Free *&head() {
        static Free *instance = nullptr;
        return instance;
    }
};

// An allocator for std::allocate_shared that takes single objects from a BlockRecycler.
template <typename T> struct RecyclingAllocator {
    using value_type = T;

    RecyclingAllocator() = default;
    template <typename U> RecyclingAllocator(const RecyclingAllocator<U> &) noexcept {}

    T *allocate(std::size_t count) {
        if (count != 1) {
            return static_cast<T *>(::operator new(count * sizeof(T)));
        }
        return static_cast<T *>(BlockRecycler<sizeof(T)>::take());
    }
    void deallocate(T *object, std::size_t count) noexcept {
        if (count != 1) {
            ::operator delete(object);
            return;
        }
        BlockRecycler<sizeof(T)>::give(object);
    }
    template <typename U> bool operator==(const RecyclingAllocator<U> &) const noexcept {
        return true;
    }
};

} // namespace vorn::stream
