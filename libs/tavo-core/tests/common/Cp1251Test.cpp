#include <gtest/gtest.h>

#include "common/Cp1251.h"
#include "common/Utf8.h"
#include "support/TempDir.h"

using tavo::core::common::Cp1251;

TEST(Cp1251, EveryByteAgreesWithIconv) {
    tavo::test::TempDir dir;
    for (int b = 1; b < 256; ++b) {
        if (b == 0x98) continue;
        SCOPED_TRACE(b);
        std::string in(1, static_cast<char>(b));
        tavo::test::writeFile(dir / "b", in);
        std::string expected;
        ASSERT_EQ(tavo::test::runCommand("iconv -f CP1251 -t UTF-8 '" + (dir / "b").string() + "'", &expected, false),
                  0);
        EXPECT_EQ(Cp1251::ToUtf8(in), expected);
    }
}

TEST(Cp1251, UndefinedBytesBecomeQuestionMarks) {
    EXPECT_EQ(Cp1251::ToUtf8(std::string("a\0b\x98", 4)), "a?b?");
    EXPECT_EQ(Cp1251::ToUtf8("\xB9"), "\xE2\x84\x96");  // numero sign, three bytes
    EXPECT_EQ(Cp1251::ToUtf8("\xC0\xFF"), "Ая");
}

TEST(Cp1251, ThreeByteCharactersNeverOverrun) {
    // Every byte of this input widens to three bytes of UTF-8.
    std::string in(100000, '\x85');
    std::string out = Cp1251::ToUtf8(in);
    EXPECT_EQ(out.size(), 300000u);
    EXPECT_TRUE(tavo::core::common::utf8::isValid(out));
}

// The eight-byte ASCII steps must hand NUL and high bytes, wherever they
// stand, to the table exactly as a byte-by-byte conversion does.
TEST(Cp1251, LongTextEqualsByteByByteConversion) {
    for (char odd : {'\0', '\x98', '\xC0', '\xB9', '\x7F', '\x01'}) {
        for (size_t len = 1; len <= 24; ++len) {
            for (size_t at = 0; at < len; ++at) {
                std::string in(len, 'a');
                in[at] = odd;
                std::string expected;
                for (char c : in) expected += Cp1251::ToUtf8(std::string(1, c));
                ASSERT_EQ(Cp1251::ToUtf8(in), expected) << "len " << len << " at " << at << " byte " << int(odd);
            }
        }
    }
}
