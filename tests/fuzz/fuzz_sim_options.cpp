// Fuzzes the simulated device's options parser. For any text it returns options or throws
// std::invalid_argument with a message; anything else (another exception, a crash, a sanitizer
// report) is a finding. Properties checked on top:
//  - the options are well formed: a non-empty name, a non-zero default chunk size;
//  - separators are interchangeable: the text with every separator replaced by ',' gives the
//    same outcome (same options, or a refusal);
//  - round trip: the options written back as text parse to the same options;
//  - later items override earlier ones: a parsable text followed by the full text of other
//    options gives exactly those other options.
#include "sim_options.hpp"

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

// Every option as text, in the documented form; item order as in the documentation.
std::string as_text(const SimOptions &options) {
    return "name=" + options.name + ",fail_send=" + (options.fail_send ? "1" : "0") +
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
        for (const char c : options.name) {
            if (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                fail("separator inside the name", text);
            }
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

bool is_separator(char c) { return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The whole input is one text; for the override property its first byte splits the rest
    // into an earlier and a later text.
    const std::string_view whole(reinterpret_cast<const char *>(data), size);
    const std::optional<SimOptions> parsed = parse(whole);

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
