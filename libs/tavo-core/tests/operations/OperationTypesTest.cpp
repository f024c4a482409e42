#include <gtest/gtest.h>

#include "operations/OperationTypes.h"

using namespace tavo::core::operations;

TEST(OperationTypes, WireNamesBothWays) {
    EXPECT_EQ(authSchemeFromString("None"), AuthScheme::Unknown);
    EXPECT_EQ(authSchemeFromString("unknown"), AuthScheme::Unknown);
    EXPECT_EQ(authSchemeFromString(""), AuthScheme::Unknown);
    EXPECT_EQ(authSchemeFromString("local-kep-consent"), AuthScheme::LocalKepConsent);
    EXPECT_STREQ(toString(AuthScheme(9)), "unknown");
    EXPECT_STREQ(toString(AuthScheme(0)), "unknown");
    for (uint32_t code = 1; code <= 7; ++code)
        EXPECT_EQ(authSchemeFromString(toString(AuthScheme(code))), AuthScheme(code));
    EXPECT_EQ(submissionChannelFromString("browser"), SubmissionChannel::Browser);
    EXPECT_STREQ(toString(SubmissionChannel(0)), "unknown");
    EXPECT_STREQ(toString(SubmissionChannel(5)), "unknown");
    for (uint32_t code = 1; code <= 4; ++code)
        EXPECT_EQ(submissionChannelFromString(toString(SubmissionChannel(code))), SubmissionChannel(code));
}

TEST(OperationTypes, GetOrKeepsEmptyValues) {
    ParameterValues p{{"year", ""}};
    EXPECT_EQ(p.getOr("year", "0"), "");
    EXPECT_EQ(p.getOr("month", "0"), "0");
    EXPECT_EQ(p.getOr("Year", "x"), "x");
}

TEST(OperationTypes, FieldSpecCopiesDeeply) {
    FieldSpec leaf{"leaf", "L", FieldType::String, false, "", {}, "", {}};
    FieldSpec mid{"mid", "M", FieldType::ArrayOfObjects, false, "", {}, "MidItem", {leaf}};
    FieldSpec top{"top", "T", FieldType::ArrayOfObjects, false, "", {}, "TopItem", {mid}};
    FieldSpec copy = top;
    copy.itemFields[0].itemFields[0].id = "changed";
    copy.itemFields[0].label = "changed";
    EXPECT_EQ(top.itemFields[0].itemFields[0].id, "leaf");
    EXPECT_EQ(top.itemFields[0].label, "M");
}

TEST(OperationTypes, Defaults) {
    ResultsFilter f;
    EXPECT_FALSE(f.flag);
    EXPECT_FALSE(f.year);
    PreflightResult p;
    EXPECT_FALSE(p.ok);
    EXPECT_TRUE(p.notes.empty());
    tavo::core::ExecuteResult r;
    EXPECT_FALSE(r.ok);
}
