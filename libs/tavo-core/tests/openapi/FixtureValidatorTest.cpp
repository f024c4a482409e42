#include <gtest/gtest.h>

#include <stdexcept>

#include "openapi/OpenApiBuilder.h"
#include "operations/IInquiry.h"
#include "operations/ISubmission.h"
#include "operations/OperationRegistry.h"

using namespace tavo::core::operations;
using tavo::core::openapi::validateTestFixtures;

namespace {

FieldSpec field(std::string id, FieldType type, bool nullable = false, std::vector<FieldSpec> items = {}) {
    FieldSpec f;
    f.id = std::move(id);
    f.type = type;
    f.nullable = nullable;
    f.itemFields = std::move(items);
    return f;
}

struct SchemaInquiry : IInquiry {
    std::string id;
    ResultSpec schema;
    bool throwInFixture = false;
    std::optional<InquiryResult> fixture;
    std::string typeId() const override { return id; }
    std::string displayName() const override { return id; }
    std::string featureGroupId() const override { return "g"; }
    std::string featureGroupName() const override { return "G"; }
    SubmissionChannel channel() const override { return SubmissionChannel::Browser; }
    AuthScheme authScheme() const override { return AuthScheme::None; }
    ResultSpec resultSchema() const override { return schema; }
    std::vector<ParameterSpec> parameters() const override { return {}; }
    InquiryResult execute(tavo::core::domain::NapSession&, const ParameterValues&) override { return {}; }
    InquiryResult testFixture(const ParameterValues& p) override {
        if (throwInFixture) throw std::runtime_error("boom");
        return fixture ? *fixture : IInquiry::testFixture(p);
    }
};

struct SchemaSubmission : ISubmission {
    std::string id;
    ResultSpec schema;
    std::string typeId() const override { return id; }
    std::string displayName() const override { return id; }
    std::string featureGroupId() const override { return "g"; }
    std::string featureGroupName() const override { return "G"; }
    SubmissionChannel channel() const override { return SubmissionChannel::PlsLegacy; }
    AuthScheme authScheme() const override { return AuthScheme::PlsSignature; }
    ResultSpec resultSchema() const override { return schema; }
    PreflightResult validate(const std::string&) override { return {}; }
    SubmissionResult submit(tavo::core::domain::NapSession&, const std::string&, const ParameterValues&) override {
        return {};
    }
};

template <class T, class Setup>
void add(OperationRegistry& reg, const std::string& id, Setup setup) {
    reg.registerOperation(id, [id, setup] {
        auto op = std::make_unique<T>();
        op->id = id;
        setup(*op);
        return op;
    });
}

}  // namespace

TEST(FixtureValidator, GoodSchemasRaiseNothing) {
    OperationRegistry reg;
    add<SchemaInquiry>(reg, "scalars", [](SchemaInquiry& op) {
        op.schema = {"S",
                     {field("s", FieldType::String), field("i", FieldType::Integer), field("n", FieldType::Number),
                      field("b", FieldType::Boolean), field("d", FieldType::Date), field("e", FieldType::Enum),
                      field("t", FieldType::ArrayOfScalars),
                      field("rows", FieldType::ArrayOfObjects, false,
                            {field("a", FieldType::String), field("z", FieldType::ArrayOfObjects, true)})}};
    });
    add<SchemaInquiry>(reg, "envelope", [](SchemaInquiry& op) { op.throwInFixture = true; });
    add<SchemaSubmission>(reg, "sub", [](SchemaSubmission& op) {
        op.schema = {"R",
                     {field("success", FieldType::Boolean), field("incomeNumber", FieldType::String),
                      field("errorMessage", FieldType::String, true)}};
    });
    EXPECT_EQ(validateTestFixtures(reg), std::vector<std::string>{});
}

TEST(FixtureValidator, ReportsEachKindOfMismatch) {
    OperationRegistry reg;
    add<SchemaInquiry>(reg, "a_second_array", [](SchemaInquiry& op) {
        op.schema = {
            "X",
            {field("first", FieldType::ArrayOfObjects, false, {field("a", FieldType::String)}),
             field("second", FieldType::ArrayOfObjects, false,
                   {field("a", FieldType::String), field("b", FieldType::Integer), field("c", FieldType::String, true),
                    field("d", FieldType::ArrayOfScalars), field("e", FieldType::ArrayOfObjects)})}};
    });
    add<SchemaInquiry>(reg, "b_empty_rows", [](SchemaInquiry& op) {
        op.schema = {"X", {field("rows", FieldType::ArrayOfObjects, false, {field("a", FieldType::String)})}};
        op.fixture = InquiryResult{};
    });
    add<SchemaInquiry>(reg, "c_null", [](SchemaInquiry& op) {
        op.schema = {"X", {field("items", FieldType::ArrayOfObjects, false, {field("x", FieldType::ArrayOfObjects)})}};
    });
    add<SchemaInquiry>(reg, "d_throws", [](SchemaInquiry& op) {
        op.schema = {"X", {field("s", FieldType::String)}};
        op.throwInFixture = true;
    });
    add<SchemaSubmission>(reg, "e_submission", [](SchemaSubmission& op) {
        op.schema = {"R", {field("errorMessage", FieldType::String), field("other", FieldType::String)}};
    });
    reg.registerOperation("f_null", [] { return std::unique_ptr<ITavoOperation>(); });

    std::vector<std::string> expected = {
        "a_second_array.second[0].b: projected value is the type-fallback (likely a missing column id in testFixture)",
        "a_second_array.second[0].e: testFixture must populate at least one item; got empty array",
        "b_empty_rows.rows: testFixture must populate at least one item; got empty array",
        "c_null.items[0].x: testFixture must populate at least one item; got empty array",
        "d_throws: testFixture/project threw \u2014 boom",
        "e_submission.errorMessage: projected value is the type-fallback (likely a missing column id in testFixture)",
        "e_submission.other: projected value is null but schema marks the field non-nullable",
    };
    EXPECT_EQ(validateTestFixtures(reg), expected);
}
