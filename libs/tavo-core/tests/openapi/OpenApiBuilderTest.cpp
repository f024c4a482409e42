#include <gtest/gtest.h>

#include "openapi/OpenApiBuilder.h"
#include "operations/IInquiry.h"
#include "operations/ISubmission.h"
#include "operations/OperationRegistry.h"
#include "support/TempDir.h"

using nlohmann::json;
using namespace tavo::core::operations;
using tavo::core::openapi::buildOpenApiDocument;

namespace {

FieldSpec field(std::string id, FieldType type, bool nullable = false, std::vector<FieldSpec> items = {},
                std::string itemSchema = {}) {
    FieldSpec f;
    f.id = std::move(id);
    f.label = f.id + " label";
    f.type = type;
    f.nullable = nullable;
    f.itemFields = std::move(items);
    f.itemSchemaName = std::move(itemSchema);
    return f;
}

ParameterSpec param(std::string name, ParameterType type, bool required, std::optional<std::string> def = {}) {
    ParameterSpec p;
    p.name = std::move(name);
    p.label = "Етикет";
    p.type = type;
    p.required = required;
    p.defaultValue = std::move(def);
    return p;
}

// A configurable inquiry: everything the builder reads comes from its fields.
struct TestInquiry : IInquiry {
    std::string id, group, groupName;
    bool eik = true;
    std::vector<ParameterSpec> params;
    ResultSpec schema;
    std::string typeId() const override { return id; }
    std::string displayName() const override { return "Справка " + id; }
    std::string featureGroupId() const override { return group; }
    std::string featureGroupName() const override { return groupName; }
    SubmissionChannel channel() const override { return SubmissionChannel::Browser; }
    AuthScheme authScheme() const override { return AuthScheme::NapPortalSession; }
    bool requiresEik() const override { return eik; }
    ResultSpec resultSchema() const override { return schema; }
    std::vector<ParameterSpec> parameters() const override { return params; }
    InquiryResult execute(tavo::core::domain::NapSession&, const ParameterValues&) override { return {}; }
};

struct TestSubmission : ISubmission {
    std::string id = "dec_x";
    std::string typeId() const override { return id; }
    std::string displayName() const override { return "Декларация"; }
    std::string featureGroupId() const override { return "decl"; }
    std::string featureGroupName() const override { return "Декларации"; }
    SubmissionChannel channel() const override { return SubmissionChannel::PlsLegacy; }
    AuthScheme authScheme() const override { return AuthScheme::PlsSignature; }
    std::vector<ParameterSpec> parameters() const override {
        return {
            param("year", ParameterType::Year, true, "2024"),     param("month", ParameterType::Month, false, "13"),
            param("flag", ParameterType::Boolean, false, "true"), param("rate", ParameterType::Decimal, false, "1.5"),
            param("note", ParameterType::String, false, ""),      param("count", ParameterType::Integer, false, "x1")};
    }
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

OperationRegistry sampleRegistry() {
    OperationRegistry reg;
    add<TestInquiry>(reg, "debt_payments", [](TestInquiry& op) {
        op.group = "payments";
        op.groupName = "Плащания";
        op.params = {param("eik", ParameterType::Eik, true), param("kind", ParameterType::Enum, false)};
        op.params[1].allowedValues = {"a", "b"};
        op.schema = {
            "DebtPaymentsResult",
            {field("status", FieldType::Enum), field("total", FieldType::Number, true),
             field("items", FieldType::ArrayOfObjects, false,
                   {field("date", FieldType::Date), field("sub", FieldType::ArrayOfObjects, false, {}, "Deep")},
                   "PaymentItem"),
             field("loose", FieldType::ArrayOfObjects), field("tags", FieldType::ArrayOfScalars)}};
    });
    add<TestInquiry>(reg, "catalog", [](TestInquiry& op) {
        op.eik = false;
        op.group = "payments";
        op.groupName = "Друго име";
    });
    add<TestInquiry>(reg, "a_second", [](TestInquiry& op) {
        op.schema = {
            "Second",
            {field("items", FieldType::ArrayOfObjects, false, {field("other", FieldType::String)}, "PaymentItem")}};
    });
    add<TestSubmission>(reg, "dec_x", [](TestSubmission&) {});
    return reg;
}

}  // namespace

TEST(OpenApiBuilder, DocumentShape) {
    OperationRegistry reg = sampleRegistry();
    json doc = buildOpenApiDocument(reg, "TAVO Agent API", "0.1.0", "http://127.0.0.1:5123");
    std::string text = doc.dump();
    // Members in key order at the top level.
    EXPECT_LT(text.find("\"components\""), text.find("\"info\""));
    EXPECT_LT(text.find("\"info\""), text.find("\"openapi\""));
    EXPECT_LT(text.find("\"paths\""), text.find("\"servers\""));
    EXPECT_EQ(doc["openapi"], "3.0.3");
    EXPECT_EQ(doc["servers"][0]["url"], "http://127.0.0.1:5123");

    const json& schemas = doc["components"]["schemas"];
    EXPECT_TRUE(schemas.contains("AgentError"));
    EXPECT_TRUE(schemas.contains("AgentUpdateRequired"));
    EXPECT_EQ(doc["components"]["securitySchemes"]["BearerAuth"]["scheme"], "bearer");

    // Tags: first operation of each group in type-id order names the group.
    EXPECT_EQ(doc["tags"], json::parse(R"([{"name":"payments","description":"Друго име"},
                                           {"name":"decl","description":"Декларации"}])"));

    const json& catalog = doc["paths"]["/api/v1/operations/catalog"]["post"];
    EXPECT_FALSE(catalog.contains("security"));
    EXPECT_TRUE(catalog["responses"].contains("401"));
    EXPECT_TRUE(catalog["responses"].contains("426"));
    EXPECT_EQ(schemas["CatalogRequest"], json::parse(R"({"type":"object","properties":{}})"));
    EXPECT_EQ(schemas["CatalogResult"]["properties"]["rows"], json::parse(R"({"type":"array"})"));
    EXPECT_EQ(catalog["tags"], json::array({"payments"}));

    const json& debt = doc["paths"]["/api/v1/operations/debt_payments"]["post"];
    EXPECT_EQ(debt["security"], json::parse(R"([{"BearerAuth":[]}])"));
    EXPECT_EQ(debt["responses"]["200"]["content"]["application/json"]["schema"]["$ref"],
              "#/components/schemas/DebtPaymentsResult");
    EXPECT_EQ(schemas["DebtPaymentsRequest"]["required"], json::array({"eik"}));
    EXPECT_EQ(schemas["DebtPaymentsRequest"]["properties"]["eik"]["pattern"], "^[0-9]{9,13}$");
    EXPECT_EQ(schemas["DebtPaymentsRequest"]["properties"]["kind"]["enum"], json::array({"a", "b"}));
    EXPECT_EQ(schemas["DebtPaymentsResult"]["required"], json::array({"status", "items", "loose", "tags"}));
    EXPECT_EQ(schemas["DebtPaymentsResult"]["properties"]["total"]["nullable"], true);
    EXPECT_EQ(schemas["DebtPaymentsResult"]["properties"]["loose"]["items"], json::parse(R"({"type":"object"})"));
    // Shared item schema: from the first operation in type-id order ("a_second").
    EXPECT_TRUE(schemas["PaymentItem"]["properties"].contains("other"));
    EXPECT_FALSE(schemas.contains("Deep"));
}

TEST(OpenApiBuilder, DefaultsAreTypedOrLeftOut) {
    OperationRegistry reg = sampleRegistry();
    json doc = buildOpenApiDocument(reg, "t", "v", "s");
    const json& props = doc["components"]["schemas"]["DecXRequest"]["properties"];
    EXPECT_EQ(props["year"]["default"], 2024);
    EXPECT_FALSE(props["month"].contains("default"));  // 13 is outside 1..12
    EXPECT_EQ(props["flag"]["default"], true);
    EXPECT_EQ(props["rate"]["default"], 1.5);
    EXPECT_EQ(props["note"]["default"], "");
    EXPECT_FALSE(props["count"].contains("default"));
    EXPECT_EQ(props["month"]["minimum"], 1);
    EXPECT_FALSE(props["month"].contains("format"));
}

TEST(OpenApiBuilder, EmptyRegistry) {
    OperationRegistry reg;
    json doc = buildOpenApiDocument(reg, "t", "v", "s");
    EXPECT_EQ(doc["paths"], json::object());
    EXPECT_EQ(doc["tags"], json::array());
    EXPECT_EQ(doc["components"]["schemas"].size(), 2u);
}

// The generated document is valid OpenAPI 3.0.3 for an independent validator.
// The validator is part of the machine image; a missing one fails the test.
TEST(OpenApiBuilder, PassesOpenApiSpecValidator) {
    OperationRegistry reg = sampleRegistry();
    json doc = buildOpenApiDocument(reg, "TAVO Agent API", "0.1.0", "http://127.0.0.1:5123");
    tavo::test::TempDir dir;
    tavo::test::writeFile(dir / "openapi.json", doc.dump(2));
    std::string out;
    int rc = tavo::test::runCommand("openapi-spec-validator '" + (dir / "openapi.json").string() + "'", &out);
    EXPECT_EQ(rc, 0) << out;
}
