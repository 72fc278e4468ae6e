// Numbers in description files and data sheets, read by the C library's rules in any locale.
#include "services/numeric_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace ostrel::vessolt {
namespace {

TEST(NumericText, FollowsTheCLibraryRulesAndSaturates) {
    EXPECT_EQ(parseUnsignedText("0x1018"), 0x1018u);
    EXPECT_EQ(parseUnsignedText("4120"), 4120u);
    EXPECT_EQ(parseUnsignedText("010"), 8u);
    EXPECT_EQ(parseUnsignedText("  12abc"), 12u);
    EXPECT_EQ(parseUnsignedText("089"), 0u);  // octal stops at 8
    EXPECT_EQ(parseUnsignedText("0x"), 0u);
    EXPECT_EQ(parseUnsignedText("abc"), 0u);
    EXPECT_EQ(parseUnsignedText(""), 0u);
    EXPECT_EQ(parseUnsignedText("99999999999"), 0xFFFFFFFFu);
    EXPECT_EQ(parseUnsignedText("0x1FFFFFFFFFFFFFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(parseUnsignedText("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(parseSignedText("-5"), -5);
    EXPECT_EQ(parseSignedText("-0x10"), -16);
    EXPECT_EQ(parseSignedText("99999999999"), INT32_MAX);
    EXPECT_EQ(parseSignedText("-99999999999"), INT32_MIN);
    EXPECT_DOUBLE_EQ(parseFloatText(" +2.5e1x"), 25.0);
    EXPECT_DOUBLE_EQ(parseFloatText("-0.125"), -0.125);
    EXPECT_DOUBLE_EQ(parseFloatText("1,5"), 1.0);  // no locale: the comma ends the number
    EXPECT_DOUBLE_EQ(parseFloatText("x"), 0.0);
    // Out of range: too large reads as infinity, too small (through its exponent or its zeros) as 0.
    EXPECT_EQ(parseFloatText("-1e400"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(parseFloatText("1e-400"), 0.0);
    EXPECT_EQ(parseFloatText("0." + std::string(400, '0') + "5"), 0.0);
}

TEST(NumericText, AWholeNumberIsTheWholeTextOrNone) {
    EXPECT_EQ(parseWholeUnsignedText(" 0x1018\t"), 0x1018u);
    for (const char* refused : {"", "abc", "12abc", "-1", "+1", "089", "0x", "0x-1", "18446744073709551616"})
        EXPECT_FALSE(parseWholeUnsignedText(refused).has_value()) << refused;
}

} // namespace
} // namespace ostrel::vessolt
