#include "openapi/OpenApiBuilder.h"

#include <cctype>
#include <charconv>
#include <set>

#include "common/Logger.h"
#include "infrastructure/http/NapEndpoints.h"
#include "operations/IInquiry.h"
#include "operations/ISubmission.h"
#include "operations/OperationRegistry.h"

namespace tavo::core::openapi {

using nlohmann::json;
using namespace tavo::core::operations;

namespace {

constexpr const char* kSchemaRef = "#/components/schemas/";

std::string pascalCase(const std::string& typeId) {
    std::string out;
    bool capitalise = true;
    for (char c : typeId) {
        if (c == ' ' || c == '-' || c == '_') {
            capitalise = true;
            continue;
        }
        out.push_back(capitalise ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c);
        capitalise = false;
    }
    return out;
}

template <class T>
bool parseWhole(const std::string& text, T& out) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto res = std::from_chars(text.data(), end, out);
    return res.ec == std::errc() && res.ptr == end;
}

// A default written as a JSON value of its parameter's type, or nothing when
// its text does not parse as that type within the parameter's own bounds.
std::optional<json> typedDefault(const ParameterSpec& p) {
    const std::string& text = *p.defaultValue;
    switch (p.type) {
        case ParameterType::Integer:
        case ParameterType::Month:
        case ParameterType::Year: {
            int64_t v = 0;
            if (!parseWhole(text, v)) return std::nullopt;
            if (p.type == ParameterType::Month && (v < 1 || v > 12)) return std::nullopt;
            if (p.type == ParameterType::Year && (v < 1900 || v > 2999)) return std::nullopt;
            return json(v);
        }
        case ParameterType::Decimal: {
            double v = 0;
            if (!parseWhole(text, v)) return std::nullopt;
            return json(v);
        }
        case ParameterType::Boolean:
            if (text == "true") return json(true);
            if (text == "false") return json(false);
            return std::nullopt;
        default:
            return json(text);
    }
}

json parameterSchema(const std::string& typeId, const ParameterSpec& p) {
    json s = json::object();
    switch (p.type) {
        case ParameterType::String:
            s["type"] = "string";
            break;
        case ParameterType::Integer:
            s["type"] = "integer";
            s["format"] = "int64";
            break;
        case ParameterType::Decimal:
            s["type"] = "number";
            s["format"] = "double";
            break;
        case ParameterType::Date:
            s["type"] = "string";
            s["format"] = "date";
            break;
        case ParameterType::Month:
            s["type"] = "integer";
            s["minimum"] = 1;
            s["maximum"] = 12;
            break;
        case ParameterType::Year:
            s["type"] = "integer";
            s["minimum"] = 1900;
            s["maximum"] = 2999;
            break;
        case ParameterType::Boolean:
            s["type"] = "boolean";
            break;
        case ParameterType::Eik:
            s["type"] = "string";
            s["pattern"] = "^[0-9]{9,13}$";
            break;
        case ParameterType::Enum:
            s["type"] = "string";
            if (!p.allowedValues.empty()) s["enum"] = p.allowedValues;
            break;
    }
    if (!p.description.empty()) s["description"] = p.description;
    if (p.defaultValue) {
        if (auto d = typedDefault(p)) {
            s["default"] = std::move(*d);
        } else {
            Logger::warn("OpenApiBuilder: default '" + *p.defaultValue + "' of parameter '" + p.name + "' of '" +
                         typeId + "' does not fit its type; left out");
        }
    }
    if (!p.label.empty()) s["title"] = p.label;
    return s;
}

json fieldSchema(const FieldSpec& f) {
    json s = json::object();
    switch (f.type) {
        case FieldType::String:
            s["type"] = "string";
            break;
        case FieldType::Integer:
            s["type"] = "integer";
            s["format"] = "int64";
            break;
        case FieldType::Number:
            s["type"] = "number";
            s["format"] = "double";
            break;
        case FieldType::Date:
            s["type"] = "string";
            s["format"] = "date";
            break;
        case FieldType::DateTime:
            s["type"] = "string";
            s["format"] = "date-time";
            break;
        case FieldType::Boolean:
            s["type"] = "boolean";
            break;
        case FieldType::Enum:
            s["type"] = "string";
            if (!f.enumValues.empty()) s["enum"] = f.enumValues;
            break;
        case FieldType::ArrayOfScalars:
            s["type"] = "array";
            s["items"] = {{"type", "string"}};
            break;
        case FieldType::ArrayOfObjects:
            s["type"] = "array";
            // A reference to an unnamed schema would dangle: describe a plain object.
            if (f.itemSchemaName.empty())
                s["items"] = {{"type", "object"}};
            else
                s["items"] = {{"$ref", std::string(kSchemaRef) + f.itemSchemaName}};
            break;
    }
    if (f.nullable) s["nullable"] = true;
    if (!f.description.empty()) s["description"] = f.description;
    if (!f.label.empty()) s["title"] = f.label;
    return s;
}

json objectSchema(const std::vector<FieldSpec>& fields) {
    json s = {{"type", "object"}, {"properties", json::object()}};
    json required = json::array();
    for (const FieldSpec& f : fields) {
        s["properties"][f.id] = fieldSchema(f);
        if (!f.nullable) required.push_back(f.id);
    }
    if (!required.empty()) s["required"] = std::move(required);
    return s;
}

json response(const char* description, const std::string& ref) {
    return {{"description", description},
            {"content", {{"application/json", {{"schema", {{"$ref", std::string(kSchemaRef) + ref}}}}}}}};
}

std::vector<ParameterSpec> parametersOf(const ITavoOperation& op) {
    if (auto* inquiry = dynamic_cast<const IInquiry*>(&op)) return inquiry->parameters();
    if (auto* submission = dynamic_cast<const ISubmission*>(&op)) return submission->parameters();
    return {};
}

}  // namespace

json buildOpenApiDocument(const std::string& title, const std::string& version, const std::string& serverUrl) {
    return buildOpenApiDocument(OperationRegistry::instance(), title, version, serverUrl);
}

json buildOpenApiDocument(const OperationRegistry& registry, const std::string& title, const std::string& version,
                          const std::string& serverUrl) {
    json doc = json::object();
    doc["openapi"] = "3.0.3";
    doc["info"] = {{"title", title},
                   {"version", version},
                   {"description",
                    "Машинно-генерирана документация на REST API на TAVO Agent. Всяка операция (декларация / "
                    "справка) се извиква на свой POST /api/v1/operations/<typeId> с typed входен и изходен JSON. "
                    "Генерирайте client SDK с openapi-generator / NSwag / Swagger Codegen."}};
    doc["servers"] = json::array({{{"url", serverUrl}, {"description", "TAVO Agent (locally running, port 5123)"}}});

    json paths = json::object();
    json schemas = json::object();
    std::set<std::string> itemSchemaNames;

    schemas["AgentError"] = {
        {"type", "object"},
        {"properties", {{"error", {{"type", "string"}, {"description", "Описание на грешката."}}}}},
        {"required", json::array({"error"})}};
    schemas["AgentUpdateRequired"] = {
        {"type", "object"},
        {"description", "Връща се с HTTP 426 когато cloud-ът изисква по-нова версия на агента."},
        {"properties",
         {{"error", {{"type", "string"}}},
          {"agentVersion", {{"type", "string"}}},
          {"requiredVersion", {{"type", "string"}}}}}};

    const auto entries = registry.listAll();
    for (const auto& entry : entries) {
        auto op = registry.create(entry.typeId);
        if (!op) continue;
        std::vector<ParameterSpec> params = parametersOf(*op);
        ResultSpec result = op->resultSchema();
        std::string requestName = pascalCase(entry.typeId) + "Request";
        std::string resultName = result.name.empty() ? pascalCase(entry.typeId) + "Result" : result.name;

        json request = {{"type", "object"}, {"properties", json::object()}};
        json required = json::array();
        for (const ParameterSpec& p : params) {
            request["properties"][p.name] = parameterSchema(entry.typeId, p);
            if (p.required) required.push_back(p.name);
        }
        if (!required.empty()) request["required"] = std::move(required);
        schemas[requestName] = std::move(request);

        if (result.fields.empty()) {
            schemas[resultName] = {
                {"type", "object"},
                {"description",
                 "Тази операция още не е мигрирана към typed schema; връща се generic envelope с columns / rows / "
                 "metadata."},
                {"properties",
                 {{"columns", {{"type", "array"}}},
                  {"rows", {{"type", "array"}}},
                  {"metadata", {{"type", "object"}}}}}};
        } else {
            for (const FieldSpec& f : result.fields) {
                if (f.type != FieldType::ArrayOfObjects || f.itemSchemaName.empty()) continue;
                if (!itemSchemaNames.insert(f.itemSchemaName).second) continue;
                schemas[f.itemSchemaName] = objectSchema(f.itemFields);
            }
            schemas[resultName] = objectSchema(result.fields);
        }

        json post = {
            {"operationId", entry.typeId},
            {"summary", entry.displayName},
            {"description", op->description()},
            {"tags", json::array({op->featureGroupId()})},
            {"requestBody",
             {{"required", true},
              {"content", {{"application/json", {{"schema", {{"$ref", std::string(kSchemaRef) + requestName}}}}}}}}},
            {"responses",
             {{"200", response("Успешно изпълнение.", resultName)},
              {"401", response("Невалиден / липсващ JWT (когато операцията изисква EIK).", "AgentError")},
              {"426", response("Cloud-ът изисква по-нова версия на агента (`min_ver` JWT claim не е "
                               "удовлетворен).",
                               "AgentUpdateRequired")},
              {"502", response("Грешка при изпълнение на операцията (портал / валидация).", "AgentError")}}}};
        if (op->requiresEik()) post["security"] = json::array({{{"BearerAuth", json::array()}}});
        paths["/api/v1/operations/" + entry.typeId] = {{"post", std::move(post)}};
    }

    json tags = json::array();
    std::set<std::string> seenGroups;
    for (const auto& entry : entries) {
        auto op = registry.create(entry.typeId);
        if (!op) continue;
        std::string group = op->featureGroupId();
        if (group.empty() || !seenGroups.insert(group).second) continue;
        tags.push_back({{"name", group}, {"description", op->featureGroupName()}});
    }

    json components = json::object();
    components["securitySchemes"] = {
        {"BearerAuth",
         {{"type", "http"},
          {"scheme", "bearer"},
          {"bearerFormat", "JWT"},
          {"description",
           std::string("Submission token издаден от ") + infra::nap::kCloudHost + " (`POST /api/v1/tokens/issue`)."}}}};
    doc["tags"] = std::move(tags);
    components["schemas"] = std::move(schemas);
    doc["components"] = std::move(components);
    doc["paths"] = std::move(paths);
    return doc;
}

}  // namespace tavo::core::openapi
