// The one reader of UTF-8: each well-formed character read whole, and each
// byte of a malformed one read as U+FFFD on its own, so that the characters
// after it are still found.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "model/utf8.h"

using namespace report;

namespace {

TEST(Utf8, DecodesWellFormedSequencesAndRefusesTheRest) {
    struct Case {
        std::string_view bytes;
        char32_t code_point;
        std::size_t length;
        bool well_formed;
    };
    const Case cases[] = {
        {"A", U'A', 1, true},
        {"\xC2\xA0", 0xA0, 2, true},
        {"\xC2\x9B", 0x9B, 2, true},        // a C1 control is well formed
        {"\xE2\x80\xAE", 0x202E, 3, true},  // right-to-left override
        {"\xF0\x9F\x98\x80", 0x1F600, 4, true},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4, true},
        {"\xC0\x80", 0xFFFD, 1, false},              // overlong NUL
        {"\xE0\x80\xAF", 0xFFFD, 1, false},          // overlong "/"
        {"\xF0\x8F\xBF\xBF", 0xFFFD, 1, false},      // overlong four-byte form
        {"\xED\xA0\x80", 0xFFFD, 1, false},          // a surrogate
        {"\xF4\x90\x80\x80", 0xFFFD, 1, false},      // past U+10FFFF
        {"\xF8\x88\x80\x80\x80", 0xFFFD, 1, false},  // a five-byte form
        {"\x80", 0xFFFD, 1, false},                  // a stray continuation byte
        {"\xE2\x80", 0xFFFD, 1, false},              // cut short
        {"\xE2\x41\x42", 0xFFFD, 1, false},          // an ASCII byte where a continuation goes
    };
    for (const Case& c : cases) {
        Utf8Char read = decode_utf8(c.bytes, 0);
        EXPECT_EQ(read.code_point, c.code_point) << testing::PrintToString(std::string(c.bytes));
        EXPECT_EQ(read.length, c.length) << testing::PrintToString(std::string(c.bytes));
        EXPECT_EQ(read.well_formed, c.well_formed) << testing::PrintToString(std::string(c.bytes));
        EXPECT_EQ(utf8_length(c.bytes, 0), c.well_formed ? c.length : 0);
    }
}

TEST(Utf8, CutsBetweenCharacters) {
    struct Case {
        std::string_view text;
        std::size_t longest, cut;
    };
    const Case cases[] = {
        {"abcdef", 4, 4},
        {"ab\xE2\x82\xAC"
         "cd",
         4, 2},  // the euro sign is not split
        {"ab\xE2\x82\xAC"
         "cd",
         5, 5},
        {"\xF0\x9F\x98\x80", 3, 0},
        {"ab\x80\x80\x80"
         "cd",
         4, 4},  // stray bytes are characters of their own
        {"abc", 10, 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(utf8_cut(c.text, c.longest), c.cut)
            << testing::PrintToString(std::string(c.text)) << " " << c.longest;
}

}  // namespace
