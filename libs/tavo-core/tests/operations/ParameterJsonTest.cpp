#include <gtest/gtest.h>

#include "operations/ParameterJson.h"
#include "support/ScopedLocale.h"

using namespace tavo::core::operations;

TEST(ParameterJson, FlattensMembersByType) {
    std::string error;
    auto p = flattenParameters(R"({"year":2024,"eik":"123456789","flag":true,"off":false,"x":null,"a":[1],"o":{},
                                   "rate":1.5,"big":18446744073709551615,"neg":-3})",
                               &error);
    ASSERT_TRUE(p) << error;
    ParameterValues expected{{"year", "2024.000000"}, {"eik", "123456789"}, {"flag", "true"},
                             {"off", "false"},        {"rate", "1.500000"}, {"big", "18446744073709551616.000000"},
                             {"neg", "-3.000000"}};
    EXPECT_EQ(*p, expected);
}

TEST(ParameterJson, EmptyAndNonObjectTextsGiveNoParameters) {
    for (const char* text : {"", "[1,2]", "\"x\"", "42", "null"}) {
        SCOPED_TRACE(text);
        std::string error;
        auto p = flattenParameters(text, &error);
        ASSERT_TRUE(p);
        EXPECT_TRUE(p->empty());
        EXPECT_TRUE(error.empty());
    }
}

TEST(ParameterJson, InvalidTextReportsTheParser) {
    for (const char* text : {"{", "{\"a\":1} x", "/*c*/{}", "{'a':1}"}) {
        SCOPED_TRACE(text);
        std::string error;
        EXPECT_FALSE(flattenParameters(text, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(ParameterJson, NumbersIgnoreTheProcessLocale) {
    tavo::test::ScopedLocale locale;
    std::string error;
    auto p = flattenParameters(R"({"year":2024,"rate":12.34})", &error);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->at("year"), "2024.000000");
    EXPECT_EQ(p->at("rate"), "12.340000");
}
