// The log of a stream's callback errors: standard error (a program's standard output is its own,
// often its data), and few enough lines that a callback failing on every event cannot flood it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vorn::stream {

// Writes "Error in callback: {what}" for the first `lines_per_second` errors of each second, then
// counts the rest and writes "{n} more errors in callback suppressed" when the next second's
// first error comes or the log is destroyed. One per stream; called on its delivery thread only (not thread-safe). Never throws.
class CallbackErrorLog {
  public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(const std::string &line)>;

    static constexpr int default_lines_per_second = 5;

    CallbackErrorLog() : CallbackErrorLog(default_lines_per_second) {}
    // The sink receives each line without its newline; by default an error record on stderr.
    explicit CallbackErrorLog(int lines_per_second, Sink sink = {});
    ~CallbackErrorLog();
    CallbackErrorLog(const CallbackErrorLog &) = delete;
    CallbackErrorLog &operator=(const CallbackErrorLog &) = delete;

    void error(const std::string &what, Clock::time_point now = Clock::now());

  private:
    void report_suppressed();
    void write(const std::string &line);

    int lines_per_second_;
    Sink sink_;
    Clock::time_point window_start_{};
    int lines_in_window_ = 0;
    std::uint64_t suppressed_ = 0;
};

} // namespace vorn::stream
