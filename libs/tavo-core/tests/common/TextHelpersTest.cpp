#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/Ascii.h"
#include "common/CookieLine.h"
#include "common/Hex.h"
#include "common/Numbers.h"

namespace common = tavo::core::common;

TEST(LeadingNumbers, ReadTheWayTheStandardReadersDoWithoutTheLocale) {
    struct Case {
        const char* text;
        std::optional<int32_t> int32;
        std::optional<int64_t> int64;
        std::optional<uint64_t> unsigned64;
    };
    const Case cases[] = {
        {"42", 42, 42, 42u},
        {" \t\n\r\v\f7 days", 7, 7, 7u},
        {"+5", 5, 5, std::nullopt},
        {"-5", -5, -5, std::nullopt},
        {"--5", std::nullopt, std::nullopt, std::nullopt},
        {"+-5", std::nullopt, std::nullopt, std::nullopt},
        {"+ 5", std::nullopt, std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt, std::nullopt},
        {"abc", std::nullopt, std::nullopt, std::nullopt},
        {"\xA0"
         "5",
         std::nullopt, std::nullopt, std::nullopt},
        {"2147483647", 2147483647, 2147483647, 2147483647u},
        {"-2147483648", INT32_MIN, -2147483648LL, std::nullopt},
        {"2147483648", std::nullopt, 2147483648LL, 2147483648u},
        {"9223372036854775808", std::nullopt, std::nullopt, 9223372036854775808u},
        {"18446744073709551616", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(common::leadingInt(c.text), c.int32);
        EXPECT_EQ(common::leadingInt64(c.text), c.int64);
        EXPECT_EQ(common::leadingUnsigned64(c.text), c.unsigned64);
    }
}

TEST(Hex, EncodesEveryByteInEitherCaseAndDecodesDigits) {
    const std::vector<uint8_t> bytes = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(common::hex::encode(bytes), "000FA5FF");
    EXPECT_EQ(common::hex::encode(bytes, common::hex::Case::Lower), "000fa5ff");
    EXPECT_EQ(common::hex::encode(std::vector<uint8_t>{}), "");
    for (char c : std::string("0123456789abcdefABCDEF")) {
        SCOPED_TRACE(c);
        EXPECT_TRUE(common::ascii::isHexDigit(c));
        EXPECT_EQ(common::ascii::hexValue(c), std::stoi(std::string(1, c), nullptr, 16));
    }
    for (char c : std::string("gG:/@ \x80")) {
        SCOPED_TRACE(c);
        EXPECT_FALSE(common::ascii::isHexDigit(c));
        EXPECT_EQ(common::ascii::hexValue(c), -1);
    }
}

TEST(CookieLine, ReadsNetscapeLinesAndSkipsTheRest) {
    struct Case {
        const char* line;
        const char* domainField;
        const char* name;
        const char* value;
    };
    const Case cases[] = {
        {"portal.nra.bg\tFALSE\t/\tTRUE\t0\tSESSION\tsecret", "portal.nra.bg", "SESSION", "secret"},
        {"#HttpOnly_login.nra.bg\tFALSE\t/\tTRUE\t0\tQES\tv\r", "#HttpOnly_login.nra.bg", "QES", "v"},
        {"portal.nra.bg\tFALSE\t/\tTRUE\t0\tEMPTY\t", "portal.nra.bg", "EMPTY", ""},
        {"portal.nra.bg\tFALSE\t/\tTRUE\t0\t\tnameless", "portal.nra.bg", "", "nameless"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        auto cookie = common::cookies::readCookieLine(c.line);
        ASSERT_TRUE(cookie.has_value());
        EXPECT_EQ(cookie->domainField, c.domainField);
        EXPECT_EQ(cookie->name, c.name);
        EXPECT_EQ(cookie->value, c.value);
    }
    for (const char* line : {"portal.nra.bg\tFALSE\t/\tTRUE\t0\tNOVALUE", "#comment\tFALSE\t/\tTRUE\t0\tNAME\tvalue",
                             "", "\r", "broken line"}) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(common::cookies::readCookieLine(line).has_value());
    }
    std::vector<std::string> names;
    common::cookies::forEachCookie("a\tF\t/\tT\t0\tONE\t1\nbroken\r\n\nb\tF\t/\tT\t0\tTWO\t2",
                                   [&names](const common::cookies::CookieLine& c) { names.emplace_back(c.name); });
    EXPECT_EQ(names, (std::vector<std::string>{"ONE", "TWO"}));
}

TEST(Ascii, LowerCopyLowersOnlyAsciiLetters) {
    EXPECT_EQ(common::ascii::lowerCopy("SSL Certificate: CERTPROB"), "ssl certificate: certprob");
    EXPECT_EQ(common::ascii::lowerCopy("ЕИК EGN\xC0"), "ЕИК egn\xC0");
    EXPECT_EQ(common::ascii::lowerCopy(""), "");
}
