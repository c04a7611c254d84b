// Log lines that a client cannot forge or flood: its text is escaped, and repeated refusals are
// folded into one line per key every few seconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace vorn::remote {

// `text` with control characters (and backslashes) written as \n, \t, \\ or \xNN, so that it
// cannot start a line of its own or move the terminal's cursor. Allocates; never throws else.
std::string printable(std::string_view text, std::size_t max_size = 200);

// Server thread only.
class RefusalLog {
  public:
    explicit RefusalLog(std::chrono::steady_clock::duration interval = std::chrono::seconds(5))
        : interval_(interval) {}

    // Logs `message` as a warning unless `key` was logged less than the interval ago; the next
    // line logged for the key says how many were left out meanwhile.
    void warn(const std::string &key, const std::string &message);

  private:
    struct Entry {
        std::chrono::steady_clock::time_point logged;
        std::uint64_t left_out = 0;
    };
    std::chrono::steady_clock::duration interval_;
    std::map<std::string, Entry> entries_;
};

} // namespace vorn::remote
