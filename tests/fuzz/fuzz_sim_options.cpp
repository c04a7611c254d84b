// Fuzzes the options grammar every plug-in shares (vorn/options.hpp), directly and through the
// simulated device's keys. For any text each returns or throws std::invalid_argument with a
// message; anything else (another exception, a crash, a sanitizer report) is a finding.
// Properties checked on top:
//  - the grammar's items written back (a value holding separators in quotes) split to the same
//    items, and a lone `--` forwards the rest of the text exactly;
//  - the options are well formed: a non-empty name, a non-zero default chunk size;
//  - separators are interchangeable: without quotes in the text, every separator replaced by
//    ',' gives the same outcome (same options, or a refusal);
//  - round trip: the options written back as text parse to the same options;
//  - later items override earlier ones: a parsable text followed by the full text of other
//    options gives exactly those other options.
#include "sim_options.hpp"

#include <vorn/options.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using vorn::sim::ChunkMode;
using vorn::sim::parse_sim_options;
using vorn::sim::SimOptions;

[[noreturn]] void fail(const char *what, std::string_view text) {
    std::fprintf(stderr, "options parser: %s for text '%.*s'\n", what,
                 static_cast<int>(text.size()), text.data());
    std::abort();
}

bool same(const SimOptions &a, const SimOptions &b) {
    return a.name == b.name && a.fail_send == b.fail_send && a.fail_read == b.fail_read &&
           a.stream_bytes == b.stream_bytes && a.stream_rate == b.stream_rate &&
           a.stream_chunks == b.stream_chunks && a.stream_error_every == b.stream_error_every &&
           a.stream_stamp == b.stream_stamp && a.stream_fill == b.stream_fill &&
           a.default_chunk_size == b.default_chunk_size;
}

bool is_separator(char c) { return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A value as an item holds it: in quotes when it has a separator (a quoted value never holds a
// quote, and an unquoted one never starts with one).
std::string written(std::string_view value) {
    for (const char c : value) {
        if (is_separator(c)) {
            return '"' + std::string(value) + '"';
        }
    }
    return std::string(value);
}

// Every option as text, in the documented form; item order as in the documentation.
std::string as_text(const SimOptions &options) {
    return "name=" + written(options.name) + ",fail_send=" + (options.fail_send ? "1" : "0") +
           ",fail_read=" + (options.fail_read ? "true" : "false") +
           ",stream_bytes=" + std::to_string(options.stream_bytes) +
           " stream_rate=" + std::to_string(options.stream_rate) +
           "\tstream_chunks=" + (options.stream_chunks == ChunkMode::lent ? "lent" : "owned") +
           "\nstream_error_every=" + std::to_string(options.stream_error_every) +
           "\rstream_stamp=" + (options.stream_stamp ? "yes" : "no") +
           ",stream_fill=" + (options.stream_fill ? "1" : "0") +
           ",default_chunk_size=" + std::to_string(options.default_chunk_size);
}

// The parser's outcome: the options, or nothing when it refused the text.
std::optional<SimOptions> parse(std::string_view text) {
    try {
        SimOptions options = parse_sim_options(text);
        if (options.name.empty()) {
            fail("empty name accepted", text);
        }
        if (options.default_chunk_size == 0) {
            fail("zero default chunk size accepted", text);
        }
        return options;
    } catch (const std::invalid_argument &refused) {
        if (std::string_view(refused.what()).empty()) {
            fail("refusal without a message", text);
        }
        return std::nullopt;
    }
    // Any other exception leaves the fuzzer as an uncaught exception: a finding.
}

// The grammar alone: split, write back, split again; and the tail after a lone `--`.
void check_grammar(std::string_view text) {
    vorn::OptionsText parsed;
    try {
        parsed = vorn::split_options(text);
    } catch (const vorn::MalformedOption &refused) {
        if (std::string_view(refused.what()).empty()) {
            fail("grammar refusal without a message", text);
        }
        return;
    }
    std::string again_text;
    for (const auto &item : parsed.items) {
        again_text += std::string(item.key) + "=" + written(item.value) + " ";
    }
    const auto again = vorn::split_options(again_text).items;
    if (again.size() != parsed.items.size()) {
        fail("items written back split differently", text);
    }
    for (std::size_t i = 0; i < again.size(); ++i) {
        if (again[i].key != parsed.items[i].key || again[i].value != parsed.items[i].value) {
            fail("an item written back splits to another item", text);
        }
    }
    const std::string forwarded = again_text + "-- " + std::string(text);
    const auto with_tail = vorn::split_options(forwarded, vorn::OptionsTail::forwarded);
    if (with_tail.items.size() != again.size() || with_tail.tail != text.substr(std::min(
            text.find_first_not_of(" \t\r\n"), text.size()))) {
        fail("the text after a lone -- was not forwarded exactly", forwarded);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The whole input is one text; for the override property its first byte splits the rest
    // into an earlier and a later text.
    const std::string_view whole(reinterpret_cast<const char *>(data), size);
    check_grammar(whole);
    const std::optional<SimOptions> parsed = parse(whole);

    if (whole.find('"') == std::string_view::npos) {
        std::string commas(whole);
        for (char &c : commas) {
            if (is_separator(c)) {
                c = ',';
            }
        }
        const std::optional<SimOptions> parsed_commas = parse(commas);
        if (parsed.has_value() != parsed_commas.has_value() ||
            (parsed && !same(*parsed, *parsed_commas))) {
            fail("outcome changed when separators became commas", whole);
        }
    }

    if (parsed) {
        const std::string written = as_text(*parsed);
        const std::optional<SimOptions> again = parse(written);
        if (!again || !same(*parsed, *again)) {
            fail("options written back do not parse to the same options", whole);
        }
    }

    if (size >= 1) {
        const std::size_t split = 1 + data[0] % size;
        const std::string_view first = whole.substr(1, split - 1);
        const std::string_view second = whole.substr(split);
        const std::optional<SimOptions> earlier = parse(first);
        const std::optional<SimOptions> later = parse(second);
        if (earlier && later) {
            const std::string combined = std::string(first) + "," + as_text(*later);
            const std::optional<SimOptions> result = parse(combined);
            if (!result || !same(*result, *later)) {
                fail("later items did not override earlier ones", combined);
            }
        }
    }
    return 0;
}
