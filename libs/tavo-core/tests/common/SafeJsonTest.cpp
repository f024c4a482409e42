#include <gtest/gtest.h>

#include "common/SafeJson.h"

namespace sj = tavo::core::common::safejson;

TEST(SafeJson, HostileTextsParseWithoutThrowing) {
    struct Case {
        std::string text;
        bool ok;
    };
    std::string deep(100000, '[');
    deep += std::string(100000, ']');
    for (const Case& c : {Case{"1e400", false},
                          {deep, false},
                          {"{\"a\":1}", true},
                          {"", false},
                          {"{", false},
                          {"[1,2] x", false},
                          {"/* c */ 1", false},
                          {"\"\xFF\"", false},
                          {"[[[[1]]]]", true},
                          // the parser would stop reading at a NUL
                          {std::string("{\"eik\":\"111\"}\0{\"eik\":\"222\"}", 27), false},
                          {"\"a\\u0000b\"", true}}) {
        SCOPED_TRACE(c.text.substr(0, 20));
        sj::ParseOutcome out;
        EXPECT_NO_THROW(out = sj::parse(c.text));
        EXPECT_EQ(out.value.has_value(), c.ok);
        if (!c.ok) {
            EXPECT_FALSE(out.error.empty());
        }
    }
}

TEST(SafeJson, DepthLimitCountsOnlyStructure) {
    EXPECT_EQ(sj::nestingDepth(R"({"a":"[[[[{{{{","b":[1,[2]]})"), 3);
    EXPECT_EQ(sj::nestingDepth(R"("\"[")"), 0);
    EXPECT_TRUE(sj::parse(std::string(64, '[') + std::string(64, ']')).value);
    EXPECT_FALSE(sj::parse(std::string(65, '[') + std::string(65, ']')).value);
}

TEST(SafeJson, MembersOnlyFromObjects) {
    auto arr = sj::json::parse("[1,2]");
    EXPECT_EQ(sj::member(arr, "a"), nullptr);
    EXPECT_FALSE(sj::getString(sj::json("text"), "a"));
    auto obj = sj::json::parse(R"({"s":"x","n":5,"b":true})");
    EXPECT_EQ(sj::getString(obj, "s"), "x");
    EXPECT_FALSE(sj::getString(obj, "n"));
    EXPECT_EQ(sj::getInt64(obj, "n"), 5);
    EXPECT_EQ(sj::getBool(obj, "b"), true);
    EXPECT_FALSE(sj::getBool(obj, "missing"));
}

TEST(SafeJson, NumbersAreRangeChecked) {
    struct Case {
        const char* text;
        std::optional<int64_t> i64;
        std::optional<int32_t> i32;
    };
    for (const Case& c : {Case{"5", 5, 5},
                          {"-5", -5, -5},
                          {"1e30", std::nullopt, std::nullopt},
                          {"18446744073709551615", std::nullopt, std::nullopt},
                          {"9223372036854775807", INT64_MAX, std::nullopt},
                          {"2147483648", 2147483648LL, std::nullopt},
                          {"12.9", 12, 12},
                          {"\"12\"", std::nullopt, std::nullopt},
                          {"-9.3e18", std::nullopt, std::nullopt}}) {
        SCOPED_TRACE(c.text);
        auto v = sj::json::parse(c.text);
        EXPECT_EQ(sj::asInt64(v), c.i64);
        EXPECT_EQ(sj::asInt32(v), c.i32);
    }
}

TEST(SafeJson, LenientDumpReplacesInvalidUtf8) {
    sj::json j = {{"k", std::string("a\xFF")}};
    EXPECT_THROW((void)j.dump(), sj::json::exception);
    EXPECT_EQ(sj::dumpLenient(j), "{\"k\":\"a\xEF\xBF\xBD\"}");
}
