// SimOptions: the options text of the simulated device.
#include "sim_options.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using vorn::sim::ChunkMode;
using vorn::sim::parse_sim_options;
using vorn::sim::SimOptions;

TEST(SimOptions, EmptyOrBlankTextGivesTheDefaults) {
    for (const char *text : {"", " ", ",,", " \t\r\n, "}) {
        const SimOptions options = parse_sim_options(text);
        EXPECT_EQ(options.name, "sim0") << '"' << text << '"';
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
}

TEST(SimOptions, EveryKeyIsApplied) {
    const SimOptions options = parse_sim_options(
        "name=bench7,fail_send=1,fail_read=true,stream_bytes=18446744073709551615,"
        "stream_rate=250,stream_chunks=lent,stream_error_every=3,stream_stamp=yes,"
        "stream_fill=no,default_chunk_size=65536,block_size=4294967296");
    EXPECT_EQ(options.name, "bench7");
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

TEST(SimOptions, BooleanSpellings) {
    for (const char *yes : {"1", "true", "yes"}) {
        EXPECT_TRUE(parse_sim_options(std::string("fail_send=") + yes).fail_send) << yes;
    }
    for (const char *no : {"0", "false", "no"}) {
        EXPECT_FALSE(parse_sim_options(std::string("fail_send=1 fail_send=") + no).fail_send) << no;
    }
}

TEST(SimOptions, AnyRunOfCommasAndWhiteSpaceSeparatesItems) {
    const SimOptions options =
        parse_sim_options("  name=a,\tfail_read=1 ,, stream_rate=9\r\nstream_chunks=lent,");
    EXPECT_EQ(options.name, "a");
    EXPECT_TRUE(options.fail_read);
    EXPECT_EQ(options.stream_rate, 9u);
    EXPECT_EQ(options.stream_chunks, ChunkMode::lent);
}

TEST(SimOptions, LaterItemsOverrideEarlierOnes) {
    const SimOptions options =
        parse_sim_options("name=first stream_chunks=lent name=second stream_chunks=owned "
                          "stream_stamp=1 stream_stamp=0");
    EXPECT_EQ(options.name, "second");
    EXPECT_EQ(options.stream_chunks, ChunkMode::owned);
    EXPECT_FALSE(options.stream_stamp);
}

TEST(SimOptions, BadItemsAreRefusedNamingTheOffendingItem) {
    // Each text, and the parts the message must name.
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"colour=red", {"colour"}},
        {"name=ok bogus_key=1", {"bogus_key"}},
        {"fail_send", {"fail_send"}},
        {"=5", {"=5"}},
        {"name=x stream_bytes", {"stream_bytes"}},
        {"fail_send=maybe", {"fail_send", "maybe"}},
        {"stream_stamp=TRUE", {"stream_stamp", "TRUE"}},
        {"stream_fill=off", {"stream_fill", "off"}},
        {"fail_read=", {"fail_read"}},
        {"stream_bytes=-1", {"stream_bytes", "-1"}},
        {"stream_bytes=12x", {"stream_bytes", "12x"}},
        {"stream_rate=+3", {"stream_rate", "+3"}},
        {"stream_error_every=", {"stream_error_every"}},
        {"stream_bytes=18446744073709551616", {"stream_bytes", "18446744073709551616"}},
        {"stream_chunks=shared", {"stream_chunks", "shared"}},
        {"default_chunk_size=0", {"default_chunk_size", "0"}},
        {"block_size=4294967297", {"block_size", "4294967297", "at most 4294967296"}},
        {"name=", {"name"}},
    };
    for (const auto &[text, named] : cases) {
        try {
            parse_sim_options(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument &e) {
            for (const auto &part : named) {
                EXPECT_NE(std::string(e.what()).find(part), std::string::npos)
                    << "message for '" << text << "' does not name '" << part << "': " << e.what();
            }
        }
    }
}

} // namespace
