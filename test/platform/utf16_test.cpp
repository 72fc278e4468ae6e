#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

using namespace ostrel::platform;

namespace {

// "Grüße €" followed by U+1F600 (a pair) and U+10FFFF, the last code point.
const std::string kMixedUtf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
const std::u16string kMixedUtf16 = u"Gr\u00FC\u00DFe \u20AC \xD83D\xDE00\xDBFF\xDFFF";

} // namespace

TEST(Utf16, ConvertsNonAsciiAndAstralTextBothWays) {
    EXPECT_EQ(toUtf16(kMixedUtf8), kMixedUtf16);
    EXPECT_EQ(toUtf8(kMixedUtf16), kMixedUtf8);
    EXPECT_EQ(toUtf8(toUtf16(kMixedUtf8)), kMixedUtf8);
    EXPECT_EQ(toUtf8(kMixedUtf16.c_str()), kMixedUtf8);
}

TEST(Utf16, NullAndEmptyGiveEmptyText) {
    EXPECT_EQ(u16len(nullptr), 0u);
    EXPECT_EQ(toUtf8(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(toUtf16(""), u"");
    EXPECT_EQ(u16len(u"abc"), 3u);
}

struct InvalidUtf8Case {
    const char* name;
    std::string input;
    std::u16string expected;
};

class Utf16InvalidInput : public ::testing::TestWithParam<InvalidUtf8Case> {};

TEST_P(Utf16InvalidInput, BecomesReplacementCharacters) {
    EXPECT_EQ(toUtf16(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Utf16, Utf16InvalidInput,
    ::testing::Values(InvalidUtf8Case{"StrayContinuation", "a\x80" "b", u"a\uFFFDb"},
                      InvalidUtf8Case{"OverlongSlash", "\xC0\xAF", u"\uFFFD\uFFFD"},
                      InvalidUtf8Case{"CutAtTheEnd", "\xE2\x82", u"\uFFFD"},
                      InvalidUtf8Case{"CutBeforeAscii", "\xE2\x82" "A", u"\uFFFDA"},
                      InvalidUtf8Case{"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                      InvalidUtf8Case{"AboveLastCodePoint", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                      InvalidUtf8Case{"ByteFF", "\xFF" "z", u"\uFFFDz"}),
    [](const ::testing::TestParamInfo<InvalidUtf8Case>& info) { return std::string(info.param.name); });

TEST(Utf16, LoneSurrogatesBecomeReplacementCharacters) {
    const std::u16string lone = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
    EXPECT_EQ(toUtf8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(Utf16, CopyBoundedNeverOverrunsAndAlwaysTerminates) {
    constexpr char16_t kGuard = u'#';
    for (std::size_t capacity = 0; capacity <= 6; ++capacity) {
        std::array<char16_t, 8> buffer{};
        buffer.fill(kGuard);
        const std::size_t copied = copyBounded(buffer.data(), capacity, std::u16string_view(u"hello"));
        if (capacity == 0) {
            EXPECT_EQ(copied, 0u);
            EXPECT_EQ(buffer[0], kGuard) << "capacity 0 must write nothing";
            continue;
        }
        const std::size_t expected = std::min<std::size_t>(5, capacity - 1);
        EXPECT_EQ(copied, expected) << "capacity " << capacity;
        EXPECT_EQ(std::u16string(buffer.data()), std::u16string(u"hello").substr(0, expected));
        EXPECT_EQ(buffer[expected], u'\0');
        for (std::size_t i = capacity; i < buffer.size(); ++i) {
            EXPECT_EQ(buffer[i], kGuard) << "overrun at " << i << " with capacity " << capacity;
        }
    }
}

TEST(Utf16, CopyBoundedExactFitKeepsTheTerminator) {
    std::array<char16_t, 4> buffer{u'#', u'#', u'#', u'#'};
    EXPECT_EQ(copyBounded(buffer.data(), 4, std::string_view("abc")), 3u);
    EXPECT_EQ(std::u16string(buffer.data()), u"abc");
    EXPECT_EQ(copyBounded(buffer.data(), 4, std::string_view("abcd")), 3u);
    EXPECT_EQ(buffer[3], u'\0');
}

TEST(Utf16, CopyBoundedFromUtf8ConvertsAndNeverSplitsAPair) {
    std::array<char16_t, 4> buffer{};
    // "ab" + U+1F600: the pair does not fit behind "ab" in 3 characters, so it is left out whole.
    EXPECT_EQ(copyBounded(buffer.data(), 4, std::string_view("ab\xF0\x9F\x98\x80")), 2u);
    EXPECT_EQ(std::u16string(buffer.data()), u"ab");
    std::array<char16_t, 5> wider{};
    EXPECT_EQ(copyBounded(wider.data(), 5, std::string_view("ab\xF0\x9F\x98\x80")), 4u);
    EXPECT_EQ(toUtf8(wider.data()), "ab\xF0\x9F\x98\x80");
}

TEST(Utf16, CopyFieldZeroFillsAndNeedsNoTerminatorWhenFull) {
    std::array<char16_t, 6> field{};
    field.fill(u'#');
    copyField(field.data(), 5, u"ab");
    EXPECT_EQ(std::u16string(field.data(), 5), std::u16string(u"ab\0\0\0", 5));
    EXPECT_EQ(field[5], u'#');
    EXPECT_EQ(fieldView(field.data(), 5), u"ab");

    copyField(field.data(), 5, u"abcdefgh");
    EXPECT_EQ(std::u16string(field.data(), 5), u"abcde");
    EXPECT_EQ(field[5], u'#') << "a full field must not be terminated past its end";
    EXPECT_EQ(fieldView(field.data(), 5), u"abcde");

    copyField(field.data(), 0, u"x");
    EXPECT_EQ(field[0], u'a');
}

TEST(Utf16, AsciiUpperLeavesNonAsciiUnchanged) {
    EXPECT_EQ(asciiUpper(std::u16string_view(u"abz AZ09 \u00E4\u00FF\u0101 \xD83D\xDE00")),
              u"ABZ AZ09 \u00E4\u00FF\u0101 \xD83D\xDE00");
    EXPECT_EQ(asciiUpper(std::string_view("foo.dll \xC3\xA4")), "FOO.DLL \xC3\xA4");
}
