#include <gtest/gtest.h>

#include "common/Utf8.h"

namespace utf8 = tavo::core::common::utf8;

TEST(Utf8, CutNeverSplitsACharacter) {
    std::string cyr;
    for (int i = 0; i < 400; ++i) cyr += "Ж";  // two bytes each
    for (size_t limit : {0u, 1u, 599u, 600u, 601u}) {
        SCOPED_TRACE(limit);
        std::string c = utf8::cut(cyr, limit);
        EXPECT_LE(c.size(), limit);
        EXPECT_GE(c.size() + 1, limit);
        EXPECT_TRUE(utf8::isValid(c));
    }
    std::string mixed = "a€b😀";  // 1 + 3 + 1 + 4 bytes
    struct Case {
        size_t limit;
        std::string expected;
    };
    for (const Case& c :
         {Case{1, "a"}, {2, "a"}, {3, "a"}, {4, "a€"}, {5, "a€b"}, {8, "a€b"}, {9, mixed}, {50, mixed}}) {
        SCOPED_TRACE(c.limit);
        EXPECT_EQ(utf8::cut(mixed, c.limit), c.expected);
    }
}

TEST(Utf8, Validity) {
    struct Case {
        std::string text;
        bool valid;
    };
    for (const Case& c : {Case{"", true},
                          {"plain", true},
                          {"Грешка", true},
                          {"\xC0\xAF", false},
                          {"\xED\xA0\x80", false},
                          {"\xF4\x90\x80\x80", false},
                          {"\xE2\x82", false},
                          {"\xFF", false},
                          {"😀", true}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(utf8::isValid(c.text), c.valid);
        std::string fixed = utf8::makeValid(c.text);
        EXPECT_TRUE(utf8::isValid(fixed));
        if (c.valid) {
            EXPECT_EQ(fixed, c.text);
        }
    }
    EXPECT_EQ(utf8::makeValid("a\xFF"
                              "b"),
              "a\xEF\xBF\xBD"
              "b");
}

TEST(Utf8, EscapeForLogRemovesLineBreaks) {
    EXPECT_EQ(utf8::escapeForLog("a\r\nb\tc"), "a\\x0D\\x0Ab\\x09c");
    EXPECT_EQ(utf8::escapeForLog("Папка"), "Папка");
}
