#include <gtest/gtest.h>

#include <cctype>
#include <random>

#include "openapi/OpenApiBuilder.h"
#include "operations/IInquiry.h"
#include "operations/ISubmission.h"
#include "operations/OperationRegistry.h"
#include "support/LogCapture.h"
#include "support/ScopedLocale.h"
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
    std::string group = "decl", groupName = "Декларации";
    ResultSpec schema;
    std::vector<ParameterSpec> params = {
        param("year", ParameterType::Year, true, "2024"),     param("month", ParameterType::Month, false, "13"),
        param("flag", ParameterType::Boolean, false, "true"), param("rate", ParameterType::Decimal, false, "1.5"),
        param("note", ParameterType::String, false, ""),      param("count", ParameterType::Integer, false, "x1")};
    std::string typeId() const override { return id; }
    std::string displayName() const override { return "Декларация"; }
    std::string featureGroupId() const override { return group; }
    std::string featureGroupName() const override { return groupName; }
    SubmissionChannel channel() const override { return SubmissionChannel::PlsLegacy; }
    AuthScheme authScheme() const override { return AuthScheme::PlsSignature; }
    ResultSpec resultSchema() const override { return schema; }
    std::vector<ParameterSpec> parameters() const override { return params; }
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

// Every "$ref" of the document names a schema it holds.
void expectRefsResolve(const json& doc, const json& node) {
    if (node.is_object()) {
        auto ref = node.find("$ref");
        if (ref != node.end() && ref->is_string()) {  // else a property named "$ref"
            const std::string target = ref->get<std::string>();
            const std::string prefix = "#/components/schemas/";
            EXPECT_EQ(target.rfind(prefix, 0), 0u) << target;
            EXPECT_TRUE(doc["components"]["schemas"].contains(target.substr(prefix.size()))) << target;
        }
        for (const auto& [key, value] : node.items()) expectRefsResolve(doc, value);
    } else if (node.is_array()) {
        for (const json& value : node) expectRefsResolve(doc, value);
    }
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

TEST(OpenApiBuilder, ItemSchemasAtEveryDepth) {
    OperationRegistry reg;
    add<TestInquiry>(reg, "nested", [](TestInquiry& op) {
        FieldSpec level3 = field("amounts", FieldType::ArrayOfObjects, false, {field("sum", FieldType::Number)});
        FieldSpec level2 = field("lines", FieldType::ArrayOfObjects, false, {level3}, "Line");
        op.schema = {
            "Nested",
            {field("docs", FieldType::ArrayOfObjects, false,
                   {field("no", FieldType::String), level2, field("self", FieldType::ArrayOfObjects, true, {}, "Doc")},
                   "Doc"),
             // Names already taken by other schemas, and one OpenAPI does not allow.
             field("err", FieldType::ArrayOfObjects, false, {field("e", FieldType::String)}, "AgentError"),
             field("req", FieldType::ArrayOfObjects, false, {field("r", FieldType::String)}, "NestedRequest"),
             field("pay", FieldType::ArrayOfObjects, false, {field("p", FieldType::String)}, "Плащане 1")}};
    });
    json doc = buildOpenApiDocument(reg, "t", "v", "s");
    const json& schemas = doc["components"]["schemas"];
    expectRefsResolve(doc, doc);

    EXPECT_EQ(schemas["Nested"]["properties"]["docs"]["items"]["$ref"], "#/components/schemas/Doc");
    EXPECT_EQ(schemas["Doc"]["properties"]["lines"]["items"]["$ref"], "#/components/schemas/Line");
    EXPECT_EQ(schemas["Doc"]["properties"]["self"]["items"]["$ref"], "#/components/schemas/Doc");
    EXPECT_EQ(schemas["Doc"]["required"], json::array({"no", "lines"}));
    // An unnamed item is named after its owner and field.
    EXPECT_EQ(schemas["Line"]["properties"]["amounts"]["items"]["$ref"], "#/components/schemas/LineAmountsItem");
    EXPECT_EQ(schemas["LineAmountsItem"]["properties"]["sum"]["type"], "number");
    // The shared error schema and the request keep their names; the items get the next free one.
    EXPECT_EQ(schemas["AgentError"]["properties"].size(), 1u);
    EXPECT_EQ(schemas["Nested"]["properties"]["err"]["items"]["$ref"], "#/components/schemas/AgentError_2");
    EXPECT_EQ(schemas["NestedRequest"], json::parse(R"({"type":"object","properties":{}})"));
    EXPECT_EQ(schemas["Nested"]["properties"]["req"]["items"]["$ref"], "#/components/schemas/NestedRequest_2");
    EXPECT_EQ(schemas["Nested"]["properties"]["pay"]["items"]["$ref"],
              "#/components/schemas/_D0_9F_D0_BB_D0_B0_D1_89_D0_B0_D0_BD_D0_B5_201");

    // The same registry gives the same names again.
    EXPECT_EQ(buildOpenApiDocument(reg, "t", "v", "s"), doc);
}

TEST(OpenApiBuilder, NestingDeeperThanTheBoundIsAPlainObject) {
    OperationRegistry reg;
    add<TestInquiry>(reg, "deep", [](TestInquiry& op) {
        FieldSpec f = field("leaf", FieldType::String);
        for (int i = 0; i < 40; ++i) f = field("level" + std::to_string(i), FieldType::ArrayOfObjects, false, {f});
        op.schema = {"Deep", {f}};
    });
    tavo::test::LogCapture log;
    json doc = buildOpenApiDocument(reg, "t", "v", "s");
    expectRefsResolve(doc, doc);
    size_t itemSchemas = 0;
    for (const auto& [name, schema] : doc["components"]["schemas"].items()) {
        if (name.find("Item") != std::string::npos) ++itemSchemas;
    }
    EXPECT_EQ(itemSchemas, 16u);
    EXPECT_TRUE(log.contains("nest deeper than 16 levels; described as plain objects")) << log.text();
}

TEST(OpenApiBuilder, DefaultsOnlyWhereTheSchemaAcceptsThem) {
    struct Case {
        ParameterType type;
        std::vector<std::string> allowed;
        std::string text;
        std::optional<json> written;
    };
    using P = ParameterType;
    const std::optional<json> out;  // left out
    // clang-format off
    const std::vector<Case> cases = {
        {P::Enum, {"a", "b"}, "", out}, {P::Enum, {"a", "b"}, "b", json("b")}, {P::Enum, {}, "", json("")},
        {P::Eik, {}, "", out}, {P::Eik, {}, "12345678", out}, {P::Eik, {}, "12345678901234", out},
        {P::Eik, {}, "12345678x", out}, {P::Eik, {}, "123456789", json("123456789")},
        {P::Date, {}, "2024-02-29", json("2024-02-29")}, {P::Date, {}, "2023-02-29", out},
        {P::Date, {}, "2024-13-01", out}, {P::Date, {}, "29.02.2024", out}, {P::Date, {}, "", out},
        {P::Decimal, {}, "nan", out}, {P::Decimal, {}, "inf", out}, {P::Decimal, {}, "-2.5", json(-2.5)},
        {P::Year, {}, "1899", out}, {P::Integer, {}, "99999999999999999999", out}, {P::String, {}, "", json("")}};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.type)) + " '" + c.text + "'");
        OperationRegistry reg;
        add<TestSubmission>(reg, "dec_x", [&c](TestSubmission& op) {
            op.params = {param("p", c.type, false, c.text)};
            op.params[0].allowedValues = c.allowed;
        });
        tavo::test::LogCapture log;
        json props = buildOpenApiDocument(reg, "t", "v", "s")["components"]["schemas"]["DecXRequest"]["properties"];
        if (c.written) {
            EXPECT_EQ(props["p"]["default"], *c.written);
            EXPECT_FALSE(log.contains("does not fit its type"));
        } else {
            EXPECT_FALSE(props["p"].contains("default"));
            EXPECT_TRUE(log.contains("OpenApiBuilder: default '" + c.text + "' of parameter 'p' of 'dec_x'"))
                << log.text();
        }
    }
}

// Names are folded with the classic rules whatever the process locale: in a
// Turkish Latin-5 locale toupper('i') is the dotted capital I.
TEST(OpenApiBuilder, NoRepeatedNamesInRequiredOrEnumAndNamesIndependentOfTheLocale) {
    OperationRegistry reg;
    add<TestInquiry>(reg, "id_info", [](TestInquiry& op) {
        op.params = {param("eik", ParameterType::Eik, true), param("kind", ParameterType::Enum, true),
                     param("eik", ParameterType::Eik, true)};
        op.params[1].allowedValues = {"a", "b", "a"};
        FieldSpec e = field("state", FieldType::Enum);
        e.enumValues = {"x", "x", "y"};
        op.schema = {"",
                     {e, field("n", FieldType::Integer), field("n", FieldType::Integer),
                      field("list", FieldType::ArrayOfObjects, false,
                            {field("k", FieldType::String), field("k", FieldType::String)}, "Row")}};
    });
    tavo::test::ScopedLocale turkish("tr_TR.ISO-8859-9");
    ASSERT_TRUE(turkish.ok()) << turkish.error();
    ASSERT_NE(std::toupper('i'), 'I');  // the locale really folds differently
    json schemas = buildOpenApiDocument(reg, "t", "v", "s")["components"]["schemas"];
    EXPECT_EQ(schemas["IdInfoRequest"]["required"], json::array({"eik", "kind"})) << schemas.dump();
    EXPECT_EQ(schemas["IdInfoRequest"]["properties"]["kind"]["enum"], json::array({"a", "b"}));
    EXPECT_EQ(schemas["IdInfoResult"]["required"], json::array({"state", "n", "list"})) << schemas.dump();
    EXPECT_EQ(schemas["IdInfoResult"]["properties"]["state"]["enum"], json::array({"x", "y"}));
    EXPECT_EQ(schemas["Row"]["required"], json::array({"k"}));
}

namespace {

// Random registries of every parameter and field type, odd and repeated
// names, nesting up to three levels.
class RegistryGenerator {
public:
    explicit RegistryGenerator(uint32_t seed) : rng_(seed) {}

    OperationRegistry registry() {
        OperationRegistry reg;
        static const std::vector<std::string> kTypeIds = {"debt_payments", "vat-return", "a_b", "a-b",  "AB",  "дек_1",
                                                          "a b",           "x{y}",       "a/b", "100%", "t~1", "Z"};
        static const std::vector<std::string> kGroups = {"", "", "payments", "плащания", "g h"};
        for (int n = between(0, 5); n > 0; --n) {
            auto setup = [group = pick(kGroups), groupName = pick(kGroups), params = parameters(),
                          schema = result()](auto& op) {
                op.group = group;
                op.groupName = groupName;
                op.params = params;
                op.schema = schema;
            };
            if (coin())
                add<TestInquiry>(reg, pick(kTypeIds), setup);
            else
                add<TestSubmission>(reg, pick(kTypeIds), setup);
        }
        return reg;
    }

private:
    int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool coin() { return between(0, 1) == 1; }
    const std::string& pick(const std::vector<std::string>& v) { return v[between(0, static_cast<int>(v.size()) - 1)]; }

    std::vector<std::string> values() {
        static const std::vector<std::string> kValues = {"a", "b", "a", "б", "", "Приета"};
        std::vector<std::string> out;
        for (int n = between(0, 4); n > 0; --n) out.push_back(pick(kValues));
        return out;
    }

    std::vector<ParameterSpec> parameters() {
        static const std::vector<std::string> kNames = {"eik", "year", "Име", "", "a b", "dup", "dup", "x/y", "~0"};
        static const std::vector<std::string> kDefaults = {
            "",           "2024", "13", "1.5",       "nan",
            "inf",        "true", "x",  "123456789", "2024-02-29",
            "2023-02-29", "a",    "б",  "-5",        "99999999999999999999",
            "Приета"};
        std::vector<ParameterSpec> out;
        for (int n = between(0, 6); n > 0; --n) {
            // Every type, and a code no type has.
            auto type = static_cast<ParameterType>(between(0, 9));
            ParameterSpec p = param(pick(kNames), type, coin(), coin() ? std::optional(pick(kDefaults)) : std::nullopt);
            p.allowedValues = values();
            if (coin()) p.description = "Описание";
            if (coin()) p.label.clear();
            out.push_back(std::move(p));
        }
        return out;
    }

    std::vector<FieldSpec> fields(int depth) {
        static const std::vector<std::string> kIds = {"id", "sum", "Сума", "", "a b", "dup", "dup", "$ref", "x/y"};
        static const std::vector<std::string> kItemNames = {"",       "",           "Item", "Shared",       "Плащане",
                                                            "Nested", "AgentError", "a b",  "NestedRequest"};
        std::vector<FieldSpec> out;
        for (int n = between(depth == 0 ? 0 : 1, 4); n > 0; --n) {
            // Every type (arrays of objects more often), and a code no type has.
            int code = between(0, 11);
            auto type = static_cast<FieldType>(code >= 10 ? (code == 10 ? 8 : 42) : code);
            FieldSpec f = field(pick(kIds), type, coin());
            f.enumValues = values();
            if (coin()) f.description = "Поле";
            if (type == FieldType::ArrayOfObjects) {
                f.itemSchemaName = pick(kItemNames);
                if (depth < 3) f.itemFields = fields(depth + 1);
            }
            out.push_back(std::move(f));
        }
        return out;
    }

    ResultSpec result() {
        static const std::vector<std::string> kNames = {"", "", "Nested", "Резултат", "AgentError", "Item", "a/b", "~"};
        return {pick(kNames), fields(0)};
    }

    std::mt19937 rng_;
};

}  // namespace

// A few hundred random registries and the sample one, each document checked
// by the independent validator, all in one run of it. The validator is part
// of the machine image; a missing one fails the test.
TEST(OpenApiBuilder, RandomRegistriesPassOpenApiSpecValidator) {
    constexpr int kDocuments = 300;
    RegistryGenerator gen(20260307);
    tavo::test::TempDir dir;
    for (int i = 0; i <= kDocuments; ++i) {
        OperationRegistry reg = i == kDocuments ? sampleRegistry() : gen.registry();
        json doc = buildOpenApiDocument(reg, "TAVO Agent API", "0.1.0", "http://127.0.0.1:5123");
        expectRefsResolve(doc, doc);
        tavo::test::writeFile(dir / ("doc-" + std::to_string(1000 + i) + ".json"), doc.dump(2));
    }
    std::string out;
    int rc = tavo::test::runCommand("cd '" + dir.str() + "' && openapi-spec-validator doc-*.json", &out);
    // It stops at the first document it refuses.
    size_t ok = 0;
    for (size_t pos = out.find(": OK\n"); pos != std::string::npos; pos = out.find(": OK\n", pos + 1)) ++ok;
    EXPECT_EQ(rc, 0) << out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
    EXPECT_EQ(ok, kDocuments + 1u);
}
