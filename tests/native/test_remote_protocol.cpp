// Remote protocol: header encoding and parsing, and which endpoints count as loopback.
#include "protocol.hpp"
#include "security.hpp"

#include <gtest/gtest.h>

namespace vorn::remote {
namespace {

Message sample() {
    Message m;
    m.op = Op::write;
    m.status = Status::failure;
    m.seq = 0x01020304;
    m.session = 0x1122334455667788u;
    m.stream = 42;
    m.addr = 0xFFFF0008u;
    m.value = 0xDEADBEEFu;
    m.mask = 7;
    m.length = 1ull << 40;
    m.text = "name=x";
    return m;
}

TEST(RemoteProtocol, RoundTripsEveryField) {
    const auto bytes = encode_message(sample());
    ASSERT_EQ(bytes.size(), header_size + 6);
    EXPECT_EQ(bytes[4], 0x04); // little-endian on the wire
    Message back;
    std::string error;
    ASSERT_TRUE(parse_message(bytes.data(), bytes.size(), back, error)) << error;
    EXPECT_EQ(back.op, Op::write);
    EXPECT_EQ(back.status, Status::failure);
    EXPECT_EQ(back.seq, 0x01020304u);
    EXPECT_EQ(back.session, 0x1122334455667788u);
    EXPECT_EQ(back.stream, 42u);
    EXPECT_EQ(back.addr, 0xFFFF0008u);
    EXPECT_EQ(back.value, 0xDEADBEEFu);
    EXPECT_EQ(back.mask, 7u);
    EXPECT_EQ(back.length, 1ull << 40);
    EXPECT_EQ(back.text, "name=x");
}

TEST(RemoteProtocol, RefusesMalformedHeaders) {
    const auto good = encode_message(sample());
    const auto refused = [](std::vector<std::uint8_t> bytes, const std::string &why) {
        Message out;
        std::string error;
        EXPECT_FALSE(parse_message(bytes.data(), bytes.size(), out, error)) << why;
        EXPECT_NE(error.find(why), std::string::npos) << error;
    };
    refused({good.begin(), good.begin() + header_size - 1}, "shorter than a header");
    auto bad = good;
    bad[0] = 'X';
    refused(bad, "not a version 1");
    bad = good;
    bad[1] = 2;
    refused(bad, "not a version 1");
    bad = good;
    bad[2] = 0;
    refused(bad, "unknown op 0");
    bad[2] = last_op + 1;
    refused(bad, "unknown op");
    bad = good;
    bad[3] = 3;
    refused(bad, "unknown status 3");
    bad = good;
    bad[37] = 1;
    refused(bad, "reserved");
    bad = good;
    bad.resize(header_size + max_text_size + 1, 'a');
    refused(bad, "too long");
}

TEST(RemoteProtocol, LoopbackEndpoints) {
    for (const char *yes :
         {"tcp://127.0.0.1:5555", "tcp://127.10.0.3:1", "tcp://localhost:5555", "tcp://[::1]:5555",
          "ipc:///tmp/x", "inproc://x", "tcp://127.0.0.1:*"}) {
        EXPECT_TRUE(is_loopback_endpoint(yes)) << yes;
    }
    for (const char *no : {"tcp://0.0.0.0:5555", "tcp://*:5555", "tcp://192.168.1.2:5555",
                           "tcp://127.0.0.1.evil.com:5555", "tcp://eth0:5555", "tcp://[::]:5555",
                           "tcp://127.0.0.1;10.0.0.1:5555", "pgm://127.0.0.1:5555",
                           "tcp://127..1:5", "tcp://1270.0.0.1:5555", "tcp://127.0.0.1111:5555"}) {
        EXPECT_FALSE(is_loopback_endpoint(no)) << no;
    }
}

} // namespace
} // namespace vorn::remote
