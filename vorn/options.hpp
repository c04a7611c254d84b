// The options text a plug-in's create_device() receives, as items of `key=value`.
//
// Grammar, the same for every plug-in that uses this header:
//   - items are separated by any run of commas, spaces, tabs, carriage returns and newlines;
//   - an item is `key=value` with a non-empty key; the value runs to the next separator and may
//     be empty; later items override earlier ones (the plug-in applies them in order);
//   - a value that must hold separators (a path with a space or comma) is written in double
//     quotes, `key="a b,c"`: the quotes are removed, nothing inside is special, and the closing
//     quote ends the item. A quoted value cannot hold a double quote; one inside an unquoted
//     value is an ordinary character;
//   - with `OptionsTail::forwarded`, a lone `--` item ends the items: the rest of the text, less
//     its leading white space, is kept unchanged for someone else to parse.
// Errors are std::invalid_argument with a message naming the item or the key:
//   "malformed option 'ITEM': expected key=value" (MalformedOption, for splitting),
//   "bad value 'VALUE' for option 'KEY': expected WHAT" (the typed readers),
//   "unknown option 'KEY' (see get_device_options())" (Option::unknown).
// Everything here is plain computation on the caller's thread: no locks, no global state.
//
//   Settings s;
//   for (const vorn::Option &item : vorn::split_options(text).items) {
//       if (item.key == "rate") {
//           s.rate = item.count();
//       } else if (item.key == "path") {
//           s.path = item.text("a path");
//       } else {
//           item.unknown();
//       }
//   }
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

inline bool is_option_separator(char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// An unsigned 64-bit integer: decimal, or (with `hex`) also 0x-prefixed hexadecimal; an optional
// k, K, M or G suffix (with `suffixes`) multiplies by 2^10, 2^20 or 2^30. Nothing on a sign,
// white space, overflow or trailing text.
inline std::optional<std::uint64_t> parse_unsigned(std::string_view text, bool hex = false,
                                                   bool suffixes = false) {
    std::uint64_t scale = 1;
    if (suffixes && !text.empty()) {
        const char last = text.back();
        scale = last == 'k' || last == 'K' ? 1u << 10 : last == 'M' ? 1u << 20
                                                    : last == 'G'   ? 1u << 30
                                                                    : 1;
        text.remove_suffix(scale == 1 ? 0 : 1);
    }
    int base = 10;
    if (hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc() || last != end || value > UINT64_MAX / scale) {
        return std::nullopt;
    }
    return value * scale;
}

struct Option {
    std::string_view item; // as written, quotes included: for error messages
    std::string_view key;
    std::string value; // quotes removed

    [[noreturn]] void bad(const char *expected) const {
        throw std::invalid_argument("bad value '" + value + "' for option '" + std::string(key) +
                                    "': expected " + expected);
    }
    [[noreturn]] void unknown() const {
        throw std::invalid_argument("unknown option '" + std::string(key) +
                                    "' (see get_device_options())");
    }
    // 0, 1, false, true, no, yes.
    bool boolean() const {
        if (value == "1" || value == "true" || value == "yes") {
            return true;
        }
        if (value != "0" && value != "false" && value != "no") {
            bad("0, 1, false, true, no or yes");
        }
        return false;
    }
    // Decimal only.
    std::uint64_t count() const { return checked(parse_unsigned(value), "an unsigned integer"); }
    // Decimal or 0x hexadecimal.
    std::uint64_t number() const {
        return checked(parse_unsigned(value, true),
                       "an unsigned integer (decimal or 0x hexadecimal)");
    }
    // Decimal or 0x hexadecimal, with an optional k, M or G (powers of 1024).
    std::uint64_t size() const {
        return checked(parse_unsigned(value, true, true),
                       "a size (decimal or 0x hexadecimal, optional k, M or G suffix)");
    }
    // Any non-empty text; `expected` says what, e.g. "a path".
    std::string text(const char *expected) const {
        if (value.empty()) {
            bad(expected);
        }
        return value;
    }

  private:
    std::uint64_t checked(std::optional<std::uint64_t> parsed, const char *expected) const {
        if (!parsed) {
            bad(expected);
        }
        return *parsed;
    }
};

struct MalformedOption : std::invalid_argument {
    explicit MalformedOption(std::string_view item_)
        : std::invalid_argument("malformed option '" + std::string(item_) +
                                "': expected key=value"),
          item(item_) {}
    std::string item;
};

enum class OptionsTail { refused, forwarded };

struct OptionsText {
    std::vector<Option> items; // in the order written; views into the text given
    std::optional<std::string> tail; // after a lone `--`, with OptionsTail::forwarded
};

// Splits `text` (which must outlive the result's views). Throws MalformedOption for an item
// without '=', with an empty key, or with an unterminated quote or text after the closing quote.
inline OptionsText split_options(std::string_view text,
                                 OptionsTail tail = OptionsTail::refused) {
    OptionsText result;
    const auto run_end = [text](std::size_t from) {
        while (from < text.size() && !is_option_separator(text[from])) {
            ++from;
        }
        return from;
    };
    std::size_t position = 0;
    while (position < text.size()) {
        if (is_option_separator(text[position])) {
            ++position;
            continue;
        }
        const std::size_t start = position;
        const std::size_t equals = text.substr(start, run_end(start) - start).find('=');
        if (equals == std::string_view::npos || equals == 0) {
            const std::string_view item = text.substr(start, run_end(start) - start);
            if (item == "--" && tail == OptionsTail::forwarded) {
                position = text.find_first_not_of(" \t\r\n", run_end(start));
                result.tail = std::string(text.substr(std::min(position, text.size())));
                break;
            }
            throw MalformedOption(item);
        }
        const std::size_t value_start = start + equals + 1;
        std::string_view value;
        if (value_start < text.size() && text[value_start] == '"') {
            const std::size_t close = text.find('"', value_start + 1);
            position = close == std::string_view::npos ? text.size() : close + 1;
            if (close == std::string_view::npos || run_end(position) != position) {
                throw MalformedOption(text.substr(start, run_end(position) - start));
            }
            value = text.substr(value_start + 1, close - value_start - 1);
        } else {
            position = run_end(value_start);
            value = text.substr(value_start, position - value_start);
        }
        result.items.push_back({text.substr(start, position - start),
                                text.substr(start, equals), std::string(value)});
    }
    return result;
}

} // namespace vorn
