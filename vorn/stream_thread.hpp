// The producing thread of one stream and the callback it feeds: DataStream::stop() written once.
//
// Contract:
//  - The constructor starts produce(emit, stop) on a thread of its own. Only that thread emits.
//    The produce function returns once `stop` is requested or the stream has ended. An exception
//    it lets out is reported as the error text failure_prefix + what(), then the end marker;
//    nothing is delivered after the end marker.
//  - A produce function that blocks wakes on `stop`: condition_variable_any waits take it; a
//    poll() loop also watches a StopEventFd (below); a std::stop_callback can wake anything else
//    (it runs on the thread that asks to stop).
//  - stop(): any thread, any number of times, concurrently too; blocks. Every call returns once
//    the thread has ended and the callback is destroyed (which waits for the module's delivery
//    thread, except on that thread). On the producing thread itself (a callback stopping its own
//    stream) it only asks; a later call finishes. A call from the delivery thread while another
//    thread's call is destroying the callback would wait for its own thread: the module never
//    makes one.
//  - end_thread(): stop() that keeps the callback for a later stop().
//  - Both return whether the thread has ended (false on the producing thread and in a child).
//  - In a child made by fork() it is inert: stop() does nothing and the destructor leaks the
//    thread and the callback, which are the parent's.
//  - The destructor stops; never destroy it on the producing thread. As the last member of a
//    stream, it ends the thread before the members the produce function uses go.
//
// Example:
//   class CountStream final : public vorn::Device::DataStream {
//     public:
//       explicit CountStream(vorn::StreamCallback &&callback)
//           : thread_(std::move(callback), "count: stream failed: ",
//                     [](vorn::StreamEmitter &emit, std::stop_token stop) {
//                         for (std::uint8_t n = 0; n < 10 && !stop.stop_requested(); ++n) {
//                             emit(vorn::ChunkView{&n, 1});
//                         }
//                         emit.end();
//                     }) {}
//       void stop() override { thread_.stop(); }
//     private:
//       vorn::StreamThread thread_;
//   };
#pragma once

#include <vorn/device.hpp>

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>

namespace vorn {

// How a produce function delivers its events. The producing thread only.
class StreamEmitter {
  public:
    explicit StreamEmitter(const StreamCallback &callback) : callback_(callback) {}

    // Delivers one event (owned or lent bytes, an error text, the end marker); dropped after the
    // end marker.
    void operator()(StreamEvent &&event) {
        if (!ended_) {
            ended_ = event.index() == 0;
            callback_(event);
        }
    }
    void error(std::string text) { (*this)(StreamEvent{std::in_place_index<1>, std::move(text)}); }
    void end() { (*this)(StreamEvent{}); }
    bool ended() const { return ended_; }

  private:
    const StreamCallback &callback_;
    bool ended_ = false;
};

class StreamThread {
  public:
    // Takes the callback and starts produce(StreamEmitter &, std::stop_token). Throws
    // std::system_error when no thread can be started (the callback is destroyed then).
    template <typename Produce>
    StreamThread(StreamCallback &&callback, std::string failure_prefix, Produce produce)
        : callback_(std::move(callback)),
          thread_([this, prefix = std::move(failure_prefix),
                   produce = std::move(produce)](std::stop_token stop) mutable {
              producer_.store(std::this_thread::get_id(), std::memory_order_relaxed);
              StreamEmitter emit(callback_);
              // An exception must not leave a thread function: report it as the last events.
              try {
                  produce(emit, std::move(stop));
              } catch (const std::exception &e) {
                  try {
                      emit.error(prefix + e.what());
                      emit.end();
                  } catch (const std::exception &) {
                      // nothing more can be reported
                  }
              }
          }) {}

    ~StreamThread() {
        if (creator_.inherited()) {
            static_cast<void>(new std::jthread(std::move(thread_)));
            static_cast<void>(new StreamCallback(std::move(callback_)));
            return;
        }
        static_cast<void>(stop());
    }
    StreamThread(const StreamThread &) = delete;
    StreamThread &operator=(const StreamThread &) = delete;

    bool stop() { return halt(true); }
    bool end_thread() { return halt(false); }

    // Whether the caller is the producing thread. Any thread.
    bool on_producer_thread() const {
        // Only the producer stores its own id here: no other thread can see it equal to its own.
        return producer_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

  private:
    bool halt(bool destroy_callback) {
        if (creator_.inherited()) {
            return false;
        }
        thread_.request_stop();
        if (on_producer_thread()) {
            return false; // a thread cannot join itself
        }
        std::lock_guard lock(mutex_); // later callers wait here until the first is done
        if (thread_.joinable()) {
            thread_.join();
        }
        if (destroy_callback) {
            callback_.reset(); // no invoke follows: the producer has ended
        }
        return true;
    }

    StreamCallback callback_;
    CreatorProcess creator_;
    std::mutex mutex_;
    std::atomic<std::thread::id> producer_{};
    std::jthread thread_; // last: started once everything above exists
};

// An eventfd that a stop request makes readable, for a produce loop that waits in poll(). Made
// where start-up errors are reported; the producing thread keeps wake_on(stop) while it polls.
class StopEventFd {
  public:
    // Throws std::runtime_error naming the OS error.
    StopEventFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (fd_ < 0) {
            throw std::runtime_error(std::string("cannot create an eventfd: ") +
                                     std::strerror(errno));
        }
    }
    ~StopEventFd() { close(); }
    StopEventFd(const StopEventFd &) = delete;
    StopEventFd &operator=(const StopEventFd &) = delete;

    int fd() const { return fd_; }
    // Closes it early. The producing thread, once it no longer polls.
    void close() {
        if (fd_ >= 0) {
            ::close(std::exchange(fd_, -1));
        }
    }

    struct Signal {
        int fd;
        void operator()() const {
            const std::uint64_t one = 1;
            // Cannot fail short of a full counter, which a single wake-up never reaches.
            [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
        }
    };
    [[nodiscard]] std::stop_callback<Signal> wake_on(const std::stop_token &stop) const {
        return std::stop_callback<Signal>(stop, Signal{fd_});
    }

  private:
    int fd_;
};

} // namespace vorn
