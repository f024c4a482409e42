#include <gtest/gtest.h>

#include <clocale>

#include "operations/TestFixtures.h"

using namespace tavo::core::operations;

namespace {
FieldSpec field(const std::string& id, FieldType t, std::vector<FieldSpec> items = {},
                std::vector<std::string> en = {}) {
    FieldSpec f;
    f.id = id;
    f.label = id + "-label";
    f.type = t;
    f.enumValues = std::move(en);
    f.itemFields = std::move(items);
    return f;
}
}  // namespace

TEST(TestFixtures, ScalarPlaceholders) {
    ResultSpec spec{"XResult",
                    {field("s", FieldType::String), field("i", FieldType::Integer), field("n", FieldType::Number),
                     field("d", FieldType::Date), field("dt", FieldType::DateTime), field("b", FieldType::Boolean),
                     field("e", FieldType::Enum, {}, {"A", "B"}), field("e0", FieldType::Enum),
                     field("arr", FieldType::ArrayOfScalars)}};
    InquiryResult r = generateInquiryFixture(spec);
    EXPECT_TRUE(r.columns.empty());
    EXPECT_TRUE(r.rows.empty());
    std::unordered_map<std::string, std::string> expected{
        {"s", "demo-0"}, {"i", "42"}, {"n", "12.34"}, {"d", "2026-01-15"}, {"dt", "2026-01-15T10:00:00Z"},
        {"b", "true"},   {"e", "A"},  {"e0", "demo"}};
    EXPECT_EQ(r.metadata, expected);
    EXPECT_TRUE(generateInquiryFixture(ResultSpec{}).metadata.empty());
}

TEST(TestFixtures, FirstArrayOfObjectsFeedsTheTable) {
    ResultSpec spec{"XResult",
                    {field("items", FieldType::ArrayOfObjects,
                           {field("a", FieldType::String), field("b", FieldType::Boolean),
                            field("c", FieldType::Number), field("d", FieldType::Integer),
                            field("x", FieldType::ArrayOfScalars), field("y", FieldType::ArrayOfObjects)}),
                     field("other", FieldType::ArrayOfObjects, {field("zzz", FieldType::String)})}};
    InquiryResult r = generateInquiryFixture(spec);
    ASSERT_EQ(r.columns.size(), 6u);
    EXPECT_EQ(r.columns[0].id, "a");
    EXPECT_EQ(r.columns[0].label, "a-label");
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0], (std::vector<std::string>{"demo-0", "true", "12.34", "42", "", ""}));
    EXPECT_EQ(r.rows[1], (std::vector<std::string>{"demo-1", "false", "24.68", "43", "", ""}));
    EXPECT_TRUE(r.metadata.empty());

    ResultSpec empty{"E", {field("items", FieldType::ArrayOfObjects)}};
    InquiryResult e = generateInquiryFixture(empty);
    EXPECT_TRUE(e.columns.empty());
    ASSERT_EQ(e.rows.size(), 2u);
    EXPECT_TRUE(e.rows[0].empty());
}

TEST(TestFixtures, StatusIsAlwaysOk) {
    for (const FieldSpec& status :
         {field("status", FieldType::String), field("status", FieldType::Enum, {}, {"error", "ok"})}) {
        InquiryResult r = generateInquiryFixture(ResultSpec{"S", {status}});
        EXPECT_EQ(r.metadata.at("status"), "ok");
    }
}

TEST(TestFixtures, NumbersIgnoreTheLocale) {
    // A comma locale must not turn 12.34 into 12,34.
    const char* set = std::setlocale(LC_ALL, "bg_BG.UTF-8");
    if (!set) set = std::setlocale(LC_ALL, "de_DE.UTF-8");
    InquiryResult r = generateInquiryFixture(ResultSpec{"N", {field("n", FieldType::Number)}});
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(r.metadata.at("n"), "12.34");
}

TEST(TestFixtures, SubmissionFixtureIgnoresSchema) {
    for (const ResultSpec& spec : {ResultSpec{}, ResultSpec{"X", {field("a", FieldType::String)}}}) {
        SubmissionResult s = generateSubmissionFixture(spec);
        EXPECT_TRUE(s.success);
        EXPECT_EQ(s.incomeNumber, "TEST-202601-12345");
        EXPECT_EQ(s.documentId, "DOC-TEST-12345");
        EXPECT_EQ(s.submissionDate, "2026-01-15T10:00:00Z");
        EXPECT_TRUE(s.errorMessage.empty());
        EXPECT_TRUE(s.nativeErrors.empty());
    }
}
