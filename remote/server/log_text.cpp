#include "log_text.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace vorn::remote {

std::string printable(std::string_view text, std::size_t max_size) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(std::min(text.size(), max_size) + 8);
    for (const char c : text.substr(0, max_size)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += c;
        }
    }
    if (text.size() > max_size) {
        out += "...";
    }
    return out;
}

void RefusalLog::warn(const std::string &key, const std::string &message) {
    const auto now = std::chrono::steady_clock::now();
    if (entries_.size() > 10000) {
        entries_.clear(); // a flood of distinct keys costs a few extra lines, not memory
    }
    auto [entry, first] = entries_.try_emplace(key, Entry{now, 0});
    if (!first && now - entry->second.logged < interval_) {
        ++entry->second.left_out;
        return;
    }
    if (entry->second.left_out != 0) {
        spdlog::warn("{} ({} more like it left out)", message, entry->second.left_out);
    } else {
        spdlog::warn("{}", message);
    }
    entry->second = Entry{now, 0};
}

} // namespace vorn::remote
