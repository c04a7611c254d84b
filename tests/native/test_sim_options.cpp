// SimOptions: the simulated device's keys (the grammar itself is tested in test_options.cpp).
#include "sim_options.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using vorn::sim::ChunkMode;
using vorn::sim::parse_sim_options;
using vorn::sim::SimOptions;

TEST(SimOptions, EmptyTextGivesTheDefaults) {
    const SimOptions options = parse_sim_options(" , ");
    EXPECT_EQ(options.name, "sim0");
    EXPECT_FALSE(options.fail_send);
    EXPECT_FALSE(options.fail_read);
    EXPECT_EQ(options.stream_bytes, 0u);
    EXPECT_EQ(options.stream_rate, 0u);
    EXPECT_EQ(options.stream_chunks, ChunkMode::owned);
    EXPECT_EQ(options.stream_error_every, 0u);
    EXPECT_FALSE(options.stream_stamp);
    EXPECT_TRUE(options.stream_fill);
    EXPECT_EQ(options.default_chunk_size, 4096u);
    EXPECT_EQ(options.block_size, 1u << 20);
}

TEST(SimOptions, EveryKeyIsAppliedAndLaterItemsWin) {
    const SimOptions options = parse_sim_options(
        "name=first stream_chunks=owned name=\"bench 7\",fail_send=1,fail_read=true,"
        "stream_bytes=18446744073709551615 stream_rate=250,stream_chunks=lent,"
        "stream_error_every=3,stream_stamp=yes,stream_fill=no,default_chunk_size=65536,"
        "block_size=4294967296");
    EXPECT_EQ(options.name, "bench 7");
    EXPECT_TRUE(options.fail_send);
    EXPECT_TRUE(options.fail_read);
    EXPECT_EQ(options.stream_bytes, 18446744073709551615u);
    EXPECT_EQ(options.stream_rate, 250u);
    EXPECT_EQ(options.stream_chunks, ChunkMode::lent);
    EXPECT_EQ(options.stream_error_every, 3u);
    EXPECT_TRUE(options.stream_stamp);
    EXPECT_FALSE(options.stream_fill);
    EXPECT_EQ(options.default_chunk_size, 65536u);
    EXPECT_EQ(options.block_size, 4294967296u);
}

TEST(SimOptions, BadValuesAreRefusedNamingTheKey) {
    const std::pair<const char *, const char *> cases[] = {
        {"colour=red", "unknown option 'colour' (see get_device_options())"},
        {"name=x stream_bytes", "malformed option 'stream_bytes': expected key=value"},
        {"name=", "bad value '' for option 'name': expected a non-empty name"},
        {"fail_send=maybe", "bad value 'maybe' for option 'fail_send'"},
        {"stream_rate=0x10", "bad value '0x10' for option 'stream_rate'"},
        {"stream_chunks=shared", "bad value 'shared' for option 'stream_chunks': expected owned"},
        {"default_chunk_size=0", "for option 'default_chunk_size': expected an unsigned integer "
                                 "greater than 0"},
        {"block_size=4294967297", "expected at most 4294967296 (the 32-bit address space)"},
    };
    for (const auto &[text, expected] : cases) {
        try {
            parse_sim_options(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument &e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    }
}

} // namespace
