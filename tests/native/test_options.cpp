// vorn/options.hpp: the options grammar every plug-in shares, and its typed readers.
#include <vorn/options.hpp>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using vorn::split_options;

// The items as "key=value" with the quotes removed, to compare in one line.
std::vector<std::string> items(std::string_view text) {
    std::vector<std::string> result;
    for (const auto &item : split_options(text).items) {
        result.push_back(std::string(item.key) + "=" + item.value);
    }
    return result;
}

std::string refusal(std::string_view text, vorn::OptionsTail tail = vorn::OptionsTail::refused) {
    try {
        split_options(text, tail);
    } catch (const vorn::MalformedOption &e) {
        return e.what();
    }
    return "accepted";
}

TEST(Options, AnyRunOfCommasAndWhiteSpaceSeparatesItems) {
    EXPECT_TRUE(items("").empty());
    EXPECT_TRUE(items(" ,\t\r\n,, ").empty());
    EXPECT_EQ(items("  a=1,\tb=2 ,, c=\r\nd=x=y,"),
              (std::vector<std::string>{"a=1", "b=2", "c=", "d=x=y"}));
}

TEST(Options, QuotedValuesHoldSeparatorsAndUnquotedQuotesAreLiteral) {
    EXPECT_EQ(items(R"(path="/my dir/a,b" name="" x=a"b"c)"),
              (std::vector<std::string>{"path=/my dir/a,b", "name=", "x=a\"b\"c"}));
    EXPECT_EQ(split_options(R"(p="a b")").items[0].item, R"(p="a b")");
}

TEST(Options, MalformedItemsAreRefusedAsWritten) {
    EXPECT_EQ(refusal("a=1 flag"), "malformed option 'flag': expected key=value");
    EXPECT_EQ(refusal("=5"), "malformed option '=5': expected key=value");
    EXPECT_EQ(refusal("--"), "malformed option '--': expected key=value");
    EXPECT_EQ(refusal(R"(p="open ended)"), "malformed option 'p=\"open ended': expected key=value");
    EXPECT_EQ(refusal(R"(p="a"b c=1)"), "malformed option 'p=\"a\"b': expected key=value");
}

TEST(Options, ALoneDoubleDashKeepsTheRestWhenForwarded) {
    const auto parsed = split_options("a=1 --  \t b=2, -- c", vorn::OptionsTail::forwarded);
    ASSERT_EQ(parsed.items.size(), 1u);
    EXPECT_EQ(parsed.tail, "b=2, -- c");
    EXPECT_EQ(split_options("a=1 --", vorn::OptionsTail::forwarded).tail, "");
    EXPECT_FALSE(split_options("a=--", vorn::OptionsTail::forwarded).tail.has_value());
}

TEST(Options, TypedReadersAcceptTheirFormsAndNameTheKeyOtherwise) {
    const auto read = [](std::string value, auto reader) {
        const vorn::Option item{"k=" + value, "k", value};
        try {
            return std::to_string(reader(item));
        } catch (const std::invalid_argument &e) {
            return std::string(e.what());
        }
    };
    const auto boolean = [](const vorn::Option &o) { return o.boolean(); };
    const auto count = [](const vorn::Option &o) { return o.count(); };
    const auto number = [](const vorn::Option &o) { return o.number(); };
    const auto size = [](const vorn::Option &o) { return o.size(); };
    EXPECT_EQ(read("yes", boolean), "1");
    EXPECT_EQ(read("false", boolean), "0");
    EXPECT_EQ(read("TRUE", boolean),
              "bad value 'TRUE' for option 'k': expected 0, 1, false, true, no or yes");
    EXPECT_EQ(read("18446744073709551615", count), "18446744073709551615");
    for (const char *bad : {"", "-1", "+3", "12x", "0x10", "18446744073709551616"}) {
        EXPECT_EQ(read(bad, count), "bad value '" + std::string(bad) +
                                        "' for option 'k': expected an unsigned integer");
    }
    EXPECT_EQ(read("0x1F", number), "31");
    EXPECT_EQ(read("0X1f", number), "31");
    for (const char *bad : {"0x", "0x-1", "1k", "0x1G"}) {
        EXPECT_NE(read(bad, number).find("expected an unsigned integer (decimal or 0x"),
                  std::string::npos)
            << bad;
    }
    EXPECT_EQ(read("16M", size), "16777216");
    EXPECT_EQ(read("0x10k", size), "16384");
    EXPECT_EQ(read("3G", size), "3221225472");
    for (const char *bad : {"k", "1m", "17179869184G", "1kk"}) {
        EXPECT_NE(read(bad, size).find("for option 'k': expected a size"), std::string::npos)
            << bad;
    }
    EXPECT_EQ(read("", [](const vorn::Option &o) { return o.text("a path").size(); }),
              "bad value '' for option 'k': expected a path");
}

TEST(Options, UnknownKeysAreNamed) {
    try {
        vorn::Option{"speed=3", "speed", "3"}.unknown();
    } catch (const std::invalid_argument &e) {
        EXPECT_STREQ(e.what(), "unknown option 'speed' (see get_device_options())");
    }
}

} // namespace
