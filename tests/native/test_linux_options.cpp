// LinuxOptions: the Linux device's keys (the grammar itself is tested in test_options.cpp).
#include "linux_options.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using vorn::linux_dev::parse_linux_options;

TEST(LinuxOptions, EveryKeyIsAppliedAndLaterItemsWin) {
    EXPECT_EQ(parse_linux_options(" ,\t").name, "linux0");
    const auto options = parse_linux_options(
        "name=a regs=\"/dev/uio3\",uio_map=2 offset=0x1F000,size=4096 stream=/dev/xdma0_c2h_0 "
        "name=fpga offset=0xffffffffffffffff");
    EXPECT_EQ(options.name, "fpga");
    EXPECT_EQ(options.regs, "/dev/uio3");
    EXPECT_EQ(options.uio_map, 2u);
    EXPECT_EQ(options.offset, 0xFFFFFFFFFFFFFFFFu);
    EXPECT_EQ(options.size, 4096u);
    EXPECT_EQ(options.stream, "/dev/xdma0_c2h_0");
}

TEST(LinuxOptions, BadItemsAreNamedInTheError) {
    const std::pair<const char *, const char *> cases[] = {
        {"speed=3", "unknown option 'speed'"},
        {"regs=", "bad value '' for option 'regs'"},
        {"regs=/f,offset=-1", "bad value '-1' for option 'offset'"},
        {"regs=/f,size=0x", "bad value '0x' for option 'size'"},
        {"regs=/f,size=0", "bad value '0' for option 'size'"},
        {"regs=/f,uio_map=18446744073709551616", "option 'uio_map'"},
        {"size=8", "option 'size' needs regs=PATH"},
    };
    for (const auto &[text, expected] : cases) {
        try {
            parse_linux_options(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const std::invalid_argument &e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    }
}

} // namespace
