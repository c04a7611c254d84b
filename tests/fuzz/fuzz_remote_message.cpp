// Fuzzes the remote protocol's header parser, which sees every byte a network peer sends to
// vorn-serve. For any input it accepts a message or refuses with a reason; anything else (an
// exception, a crash, a sanitizer report) is a finding. Checked on top:
//  - a refusal always says why;
//  - an accepted message encodes back to exactly the input bytes (nothing ignored, nothing
//    invented), and its text stays within the limit.
#include "remote/protocol.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "message parser: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vorn::remote::Message message;
    std::string error;
    if (!vorn::remote::parse_message(data, size, message, error)) {
        if (error.empty()) {
            fail("refusal without a reason");
        }
        return 0;
    }
    if (message.text.size() > vorn::remote::max_text_size) {
        fail("text over the limit accepted");
    }
    const auto encoded = vorn::remote::encode_message(message);
    if (encoded.size() != size || std::memcmp(encoded.data(), data, size) != 0) {
        fail("an accepted message does not encode back to its bytes");
    }
    (void)vorn::remote::op_name(message.op);
    return 0;
}
