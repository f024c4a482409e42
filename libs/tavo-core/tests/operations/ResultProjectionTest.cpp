#include <gtest/gtest.h>

#include <clocale>
#include <limits>

#include "operations/ResultProjection.h"
#include "operations/TestFixtures.h"
#include "support/ScopedLocale.h"

using namespace tavo::core::operations;
using nlohmann::json;

namespace {

FieldSpec field(const std::string& id, FieldType type, bool nullable = false) {
    FieldSpec f;
    f.id = id;
    f.type = type;
    f.nullable = nullable;
    return f;
}

FieldSpec table(const std::string& id, std::vector<FieldSpec> items) {
    FieldSpec f = field(id, FieldType::ArrayOfObjects);
    f.itemFields = std::move(items);
    return f;
}

}  // namespace

TEST(ResultProjection, StringToTypedEveryType) {
    using FT = FieldType;
    struct Case {
        FT type;
        bool nullable;
        const char* text;
        json expected;
    };
    const json null = nullptr;
    const Case cases[] = {
        // empty text: null or the type's fallback
        {FT::String, false, "", ""},
        {FT::String, true, "", null},
        {FT::Integer, false, "", 0},
        {FT::Number, false, "", 0.0},
        {FT::Boolean, false, "", false},
        {FT::Boolean, true, "", null},
        {FT::Date, false, "", ""},
        {FT::ArrayOfScalars, false, "", ""},
        {FT::ArrayOfObjects, false, "", ""},
        {FT::ArrayOfScalars, true, "", null},
        // integer in the manner of stoll
        {FT::Integer, false, "12abc", 12},
        {FT::Integer, false, "abc", 0},
        {FT::Integer, true, "abc", null},
        {FT::Integer, false, "  -42", -42},
        {FT::Integer, false, "+7x", 7},
        {FT::Integer, false, "+-7", 0},
        {FT::Integer, false, "12.9", 12},
        {FT::Integer, false, "9223372036854775807", std::numeric_limits<int64_t>::max()},
        {FT::Integer, false, "-9223372036854775808", std::numeric_limits<int64_t>::min()},
        {FT::Integer, true, "9223372036854775808", null},
        {FT::Integer, false, "0x1F", 0},
        // number in the manner of stod, but never infinity or NaN: JSON cannot carry them
        {FT::Number, false, "12.34", 12.34},
        {FT::Number, false, " -1.5e3kg", -1500.0},
        {FT::Number, false, "+.5", 0.5},
        {FT::Number, false, "12,34", 12.0},
        {FT::Number, false, "0x10", 16.0},
        {FT::Number, false, "0xg", 0.0},
        {FT::Number, false, "abc", 0.0},
        {FT::Number, true, "abc", null},
        {FT::Number, true, "1e999", null},
        {FT::Number, false, "--1", 0.0},
        {FT::Number, false, "-NaN(1)", 0.0},
        {FT::Number, false, " -Infinity", 0.0},
        {FT::Number, false, "info", 0.0},
        {FT::Number, false, "0x1p99999", 0.0},
        {FT::Number, true, "nan", null},
        // boolean: four spellings of true
        {FT::Boolean, false, "1", true},
        {FT::Boolean, false, "true", true},
        {FT::Boolean, false, "TRUE", true},
        {FT::Boolean, false, "True", true},
        {FT::Boolean, false, "yes", false},
        {FT::Boolean, true, "tRUE", false},
        {FT::Boolean, false, " true", false},
        // texts unchanged, arrays empty
        {FT::String, false, " x ", " x "},
        {FT::Date, false, "2024-01-31", "2024-01-31"},
        {FT::DateTime, false, "2024-01-31T10:00:00Z", "2024-01-31T10:00:00Z"},
        {FT::Enum, false, "vat", "vat"},
        {static_cast<FT>(42), false, "42", "42"},
        {FT::ArrayOfScalars, false, "1,2,3", json::array()},
        {FT::ArrayOfObjects, true, "x", json::array()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.type)) + (c.nullable ? " nullable '" : " '") + c.text + "'");
        json got = stringToTyped(c.text, field("f", c.type, c.nullable));
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(got.type(), c.expected.type());  // 0 stays an integer, 0.0 a float
    }
}

TEST(ResultProjection, NumbersIgnoreProcessLocale) {
    tavo::test::ScopedLocale bulgarian("bg_BG.UTF-8");
    ASSERT_TRUE(bulgarian.ok()) << bulgarian.error();
    ASSERT_EQ(std::stod("12.34"), 12.0);  // the locale really reads a comma
    EXPECT_EQ(stringToTyped("12.34", field("n", FieldType::Number)), 12.34);
    EXPECT_EQ(stringToTyped("12,34", field("n", FieldType::Number)), 12.0);
    InquiryResult r;
    r.metadata["n"] = "0.5";
    EXPECT_EQ(projectInquiry({"R", {field("n", FieldType::Number)}}, r).dump(), R"({"n":0.5})");
}

TEST(ResultProjection, GenericInquiryEnvelope) {
    InquiryResult r;
    r.columns = {{"a", "Колона А"}, {"b", "B"}};
    r.rows = {{"x", "y"}};
    r.metadata = {{"status", "ok"}};
    r.rawBody = "<html>";
    r.binaryPayload = std::vector<uint8_t>{1, 2};
    EXPECT_EQ(projectInquiry({}, r).dump(), R"({"columns":[{"id":"a","label":"Колона А"},{"id":"b","label":"B"}],)"
                                            R"("metadata":{"status":"ok"},"rows":[["x","y"]]})");
    EXPECT_EQ(projectInquiry({"Empty", {}}, InquiryResult{}).dump(), R"({"columns":[],"metadata":{},"rows":[]})");
}

TEST(ResultProjection, TypedInquiry) {
    InquiryResult r;
    r.columns = {{"id", ""}, {"amount", ""}, {"id", "duplicate"}, {"paid", ""}};
    r.rows = {{"7", "1.5", "ignored", "true"}, {"8", "x"}, {}};
    r.metadata = {{"status", "ok"}, {"count", "3"}, {"list", "1,2,3"}, {"flag", "yes"}};

    ResultSpec spec{
        "DemoResult",
        {
            field("status", FieldType::Enum), field("count", FieldType::Integer), field("missing", FieldType::Number),
            field("missingNullable", FieldType::Boolean, true), field("list", FieldType::ArrayOfScalars),
            field("listAbsent", FieldType::ArrayOfScalars), field("flag", FieldType::Boolean),
            table("items", {field("id", FieldType::Integer), field("amount", FieldType::Number, true),
                            field("paid", FieldType::Boolean, true), field("paidStrict", FieldType::Boolean),
                            field("noColumn", FieldType::String, true)}),
            table("empties", {}), field("count", FieldType::String),  // a later field of one id replaces the earlier
        }};
    json expected = json::parse(R"({
        "status": "ok", "count": "3", "missing": 0.0, "missingNullable": null,
        "list": [], "listAbsent": "", "flag": false,
        "items": [
            {"id": 7, "amount": 1.5, "paid": true, "paidStrict": false, "noColumn": null},
            {"id": 8, "amount": null, "paid": null, "paidStrict": false, "noColumn": null},
            {"id": 0, "amount": null, "paid": null, "paidStrict": false, "noColumn": null}
        ],
        "empties": [{}, {}, {}]
    })");
    json got = projectInquiry(spec, r);
    EXPECT_EQ(got, expected) << got.dump(2);
    // Members come out in byte order of their names, whatever the schema's order.
    EXPECT_EQ(got.dump().rfind(R"({"count":"3","empties":[{},{},{}],"flag":false,"items":)", 0), 0u) << got.dump();

    r.rows.clear();
    EXPECT_EQ(projectInquiry(spec, r)["items"], json::array());
}

TEST(ResultProjection, FixturesProjectToTheirSchema) {
    ResultSpec spec{"FixtureResult",
                    {field("status", FieldType::String), field("total", FieldType::Number),
                     table("rows", {field("n", FieldType::Integer), field("d", FieldType::Date)})}};
    json got = projectInquiry(spec, generateInquiryFixture(spec));
    EXPECT_EQ(got["status"], "ok");
    EXPECT_TRUE(got["total"].is_number_float());
    ASSERT_EQ(got["rows"].size(), 2u);
    EXPECT_TRUE(got["rows"][0]["n"].is_number_integer());
}

TEST(ResultProjection, Submission) {
    SubmissionResult r;
    r.success = true;
    r.incomeNumber = "123";
    r.documentId = "D1";
    r.submissionDate = "2024-02-01";
    r.nativeErrors = {"e1", "e2"};
    r.rawBody = "body";
    r.rawBodyContentType = "text/html";
    r.rawBodyUrl = "https://x";

    EXPECT_EQ(projectSubmission({}, r), json::parse(R"({"success": true, "incomeNumber": "123", "documentId": "D1",
        "submissionDate": "2024-02-01", "errorMessage": "", "nativeErrors": ["e1", "e2"]})"));

    struct Case {
        std::vector<std::string> ids;
        json expected;
    };
    const Case cases[] = {
        {{"success", "rawBody", "extra"}, {{"success", true}, {"rawBody", "body"}, {"extra", nullptr}}},
        {{"rawBodyContentType", "rawBodyUrl", "errorMessage"},
         {{"rawBodyContentType", "text/html"}, {"rawBodyUrl", "https://x"}, {"errorMessage", ""}}},
        {{"nativeErrors", "incomeNumber", "documentId", "submissionDate"},
         {{"nativeErrors", {"e1", "e2"}},
          {"incomeNumber", "123"},
          {"documentId", "D1"},
          {"submissionDate", "2024-02-01"}}},
    };
    for (const Case& c : cases) {
        ResultSpec spec{"S", {}};
        // Types and nullability of the schema do not change what is copied.
        for (const auto& id : c.ids) spec.fields.push_back(field(id, FieldType::Integer, true));
        EXPECT_EQ(projectSubmission(spec, r), c.expected);
    }
}
