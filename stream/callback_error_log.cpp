#include "callback_error_log.hpp"

#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <memory>

namespace vorn::stream {
namespace {

// Not registered with spdlog: an embedding program's own loggers and settings stay untouched.
spdlog::logger &stderr_logger() {
    static const auto logger = std::make_shared<spdlog::logger>(
        "pyvorn_device", std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    return *logger;
}

} // namespace

CallbackErrorLog::CallbackErrorLog(int lines_per_second, Sink sink)
    : lines_per_second_(lines_per_second), sink_(std::move(sink)) {}

CallbackErrorLog::~CallbackErrorLog() { report_suppressed(); }

void CallbackErrorLog::error(const std::string &what, Clock::time_point now) {
    if (now - window_start_ >= std::chrono::seconds(1)) {
        report_suppressed();
        window_start_ = now;
        lines_in_window_ = 0;
    }
    if (lines_in_window_ >= lines_per_second_) {
        ++suppressed_;
        return;
    }
    ++lines_in_window_;
    write("Error in callback: " + what);
}

void CallbackErrorLog::report_suppressed() {
    if (suppressed_ == 0) {
        return;
    }
    const auto count = suppressed_;
    suppressed_ = 0;
    write(std::to_string(count) + " more errors in callback suppressed");
}

void CallbackErrorLog::write(const std::string &line) {
    try {
        if (sink_) {
            sink_(line);
        } else {
            stderr_logger().error(line);
        }
    } catch (const std::exception &) {
        // a log that cannot be written is not worth ending delivery for
    }
}

} // namespace vorn::stream
