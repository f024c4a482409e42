#include "openapi/OpenApiBuilder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "common/Ascii.h"
#include "common/Logger.h"
#include "common/PercentEncode.h"
#include "infrastructure/http/NapEndpoints.h"
#include "operations/IInquiry.h"
#include "operations/ISubmission.h"
#include "operations/OperationRegistry.h"

namespace tavo::core::openapi {

using nlohmann::json;
using namespace tavo::core::operations;

namespace {

constexpr const char* kSchemaRef = "#/components/schemas/";

// Arrays of objects nested deeper than this are described as plain objects.
constexpr int kMaxItemDepth = 16;

std::string pascalCase(const std::string& typeId) {
    std::string out;
    bool capitalise = true;
    for (char c : typeId) {
        if (c == ' ' || c == '-' || c == '_') {
            capitalise = true;
            continue;
        }
        out.push_back(capitalise ? common::ascii::toUpper(c) : c);
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

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), common::ascii::isDigit);
}

// A calendar date written YYYY-MM-DD, as the "date" format requires.
bool isIsoDate(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    int year = 0, month = 0, day = 0;
    if (!parseWhole(text.substr(0, 4), year) || !parseWhole(text.substr(5, 2), month) ||
        !parseWhole(text.substr(8, 2), day))
        return false;
    if (year < 0 || month < 1 || month > 12 || day < 1) return false;
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// The values in their first order, each once: a schema's enum and required
// lists must not repeat an entry.
std::vector<std::string> uniqueInOrder(const std::vector<std::string>& values) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const std::string& v : values) {
        if (seen.insert(v).second) out.push_back(v);
    }
    return out;
}

// A default written as a JSON value its parameter's schema accepts (type,
// bounds, allowed values, pattern, format), or nothing.
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
            if (!parseWhole(text, v) || !std::isfinite(v)) return std::nullopt;
            return json(v);
        }
        case ParameterType::Boolean:
            if (text == "true") return json(true);
            if (text == "false") return json(false);
            return std::nullopt;
        case ParameterType::Date:
            if (!isIsoDate(text)) return std::nullopt;
            return json(text);
        case ParameterType::Eik:
            // The schema's pattern: 9 to 13 digits.
            if (text.size() < 9 || text.size() > 13 || !allDigits(text)) return std::nullopt;
            return json(text);
        case ParameterType::Enum:
            if (!p.allowedValues.empty() &&
                std::find(p.allowedValues.begin(), p.allowedValues.end(), text) == p.allowedValues.end())
                return std::nullopt;
            return json(text);
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
            if (!p.allowedValues.empty()) s["enum"] = uniqueInOrder(p.allowedValues);
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

// Names under "components"/"schemas": only the characters OpenAPI allows
// there (others written as _XX), and one owner per name. The same owner gets
// the same name every time; another owner whose name is taken gets the next
// free "_2", "_3" ... in the order the document is built (type-id order), so
// names are stable from one export to the next.
class SchemaNames {
public:
    enum class Owner { Shared, Request, NamedResult, TypeResult, NamedItem, FieldItem };

    // The name and whether this call gave it out first.
    std::pair<std::string, bool> claim(Owner owner, const std::string& key, const std::string& wanted) {
        auto found = assigned_.find({owner, key});
        if (found != assigned_.end()) return {found->second, false};
        const std::string base = componentName(wanted);
        std::string name = base;
        for (int n = 2; used_.count(name); ++n) name = base + "_" + std::to_string(n);
        used_.insert(name);
        assigned_.emplace(std::make_pair(owner, key), name);
        return {name, true};
    }

private:
    static std::string componentName(const std::string& wanted) {
        constexpr char kHex[] = "0123456789ABCDEF";
        std::string out;
        for (char c : wanted) {
            const auto b = static_cast<unsigned char>(c);
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || common::ascii::isDigit(c) || c == '.' || c == '-' ||
                c == '_') {
                out.push_back(c);
            } else {
                out.push_back('_');
                out.push_back(kHex[b >> 4]);
                out.push_back(kHex[b & 0xF]);
            }
        }
        return out.empty() ? "Schema" : out;
    }

    std::map<std::pair<Owner, std::string>, std::string> assigned_;
    std::set<std::string> used_;
};

// The result schemas of one document with the item schemas they reference,
// at every depth.
class ResultSchemas {
public:
    ResultSchemas(json& schemas, SchemaNames& names) : schemas_(schemas), names_(names) {}

    // "properties" and "required" of an object with these fields; item
    // schemas it references are stored under their names on the way.
    json objectSchema(const std::vector<FieldSpec>& fields, const std::string& ownerName, int depth) {
        json s = {{"type", "object"}, {"properties", json::object()}};
        std::vector<std::string> required;
        for (const FieldSpec& f : fields) {
            s["properties"][f.id] = fieldSchema(f, ownerName, depth);
            if (!f.nullable) required.push_back(f.id);
        }
        if (!required.empty()) s["required"] = uniqueInOrder(required);
        return s;
    }

private:
    json fieldSchema(const FieldSpec& f, const std::string& ownerName, int depth) {
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
                if (!f.enumValues.empty()) s["enum"] = uniqueInOrder(f.enumValues);
                break;
            case FieldType::ArrayOfScalars:
                s["type"] = "array";
                s["items"] = {{"type", "string"}};
                break;
            case FieldType::ArrayOfObjects:
                s["type"] = "array";
                s["items"] = itemsOf(f, ownerName, depth);
                break;
        }
        if (f.nullable) s["nullable"] = true;
        if (!f.description.empty()) s["description"] = f.description;
        if (!f.label.empty()) s["title"] = f.label;
        return s;
    }

    // A reference to the item schema, stored the first time its name is
    // given out (the first operation in type-id order describes a shared
    // one). An unnamed item with fields is named after its owner and field.
    json itemsOf(const FieldSpec& f, const std::string& ownerName, int depth) {
        json plainObject = {{"type", "object"}};
        if (f.itemSchemaName.empty() && f.itemFields.empty()) return plainObject;
        if (depth >= kMaxItemDepth) {
            Logger::warn("OpenApiBuilder: items of field '" + f.id + "' of '" + ownerName + "' nest deeper than " +
                         std::to_string(kMaxItemDepth) + " levels; described as plain objects");
            return plainObject;
        }
        auto [name, fresh] = f.itemSchemaName.empty()
                                 ? names_.claim(SchemaNames::Owner::FieldItem, ownerName + "\n" + f.id,
                                                ownerName + pascalCase(f.id) + "Item")
                                 : names_.claim(SchemaNames::Owner::NamedItem, f.itemSchemaName, f.itemSchemaName);
        // Claimed before its fields are walked, so an item that contains
        // itself only refers to its own name.
        if (fresh) schemas_[name] = objectSchema(f.itemFields, name, depth + 1);
        return {{"$ref", std::string(kSchemaRef) + name}};
    }

    json& schemas_;
    SchemaNames& names_;
};

json response(const char* description, const std::string& ref) {
    return {{"description", description},
            {"content", {{"application/json", {{"schema", {{"$ref", std::string(kSchemaRef) + ref}}}}}}}};
}

std::vector<ParameterSpec> parametersOf(const ITavoOperation& op) {
    if (auto* inquiry = dynamic_cast<const IInquiry*>(&op)) return inquiry->parameters();
    if (auto* submission = dynamic_cast<const ISubmission*>(&op)) return submission->parameters();
    return {};
}

json infoOf(const std::string& title, const std::string& version) {
    return {{"title", title},
            {"version", version},
            {"description",
             "Машинно-генерирана документация на REST API на TAVO Agent. Всяка операция (декларация / "
             "справка) се извиква на свой POST /api/v1/operations/<typeId> с typed входен и изходен JSON. "
             "Генерирайте client SDK с openapi-generator / NSwag / Swagger Codegen."}};
}

// The schemas every operation's answers refer to, with their names taken
// first so that no operation's schema can take them.
void addSharedSchemas(json& schemas, SchemaNames& names) {
    names.claim(SchemaNames::Owner::Shared, "AgentError", "AgentError");
    names.claim(SchemaNames::Owner::Shared, "AgentUpdateRequired", "AgentUpdateRequired");
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
}

json requestSchema(const std::string& typeId, const std::vector<ParameterSpec>& params) {
    json request = {{"type", "object"}, {"properties", json::object()}};
    std::vector<std::string> required;
    for (const ParameterSpec& p : params) {
        request["properties"][p.name] = parameterSchema(typeId, p);
        if (p.required) required.push_back(p.name);
    }
    if (!required.empty()) request["required"] = uniqueInOrder(required);
    return request;
}

// The answer of an operation without typed fields.
json genericResultSchema() {
    return {{"type", "object"},
            {"description",
             "Тази операция още не е мигрирана към typed schema; връща се generic envelope с columns / rows / "
             "metadata."},
            {"properties",
             {{"columns", {{"type", "array"}}}, {"rows", {{"type", "array"}}}, {"metadata", {{"type", "object"}}}}}};
}

json operationOf(const OperationRegistry::Entry& entry, const ITavoOperation& op, const std::string& requestName,
                 const std::string& resultName) {
    json post = {
        {"operationId", entry.typeId},
        {"summary", entry.displayName},
        {"description", op.description()},
        {"tags", json::array({op.featureGroupId()})},
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
    if (op.requiresEik()) post["security"] = json::array({{{"BearerAuth", json::array()}}});
    return post;
}

// One tag per feature group, in the order the groups first appear.
json tagsOf(const OperationRegistry& registry, const std::vector<OperationRegistry::Entry>& entries) {
    json tags = json::array();
    std::set<std::string> seenGroups;
    for (const auto& entry : entries) {
        auto op = registry.create(entry.typeId);
        if (!op) continue;
        std::string group = op->featureGroupId();
        if (group.empty() || !seenGroups.insert(group).second) continue;
        tags.push_back({{"name", group}, {"description", op->featureGroupName()}});
    }
    return tags;
}

json securitySchemes() {
    return {{"BearerAuth",
             {{"type", "http"},
              {"scheme", "bearer"},
              {"bearerFormat", "JWT"},
              {"description", std::string("Submission token издаден от ") + infra::nap::kCloudHost +
                                  " (`POST /api/v1/tokens/issue`)."}}}};
}

}  // namespace

json buildOpenApiDocument(const std::string& title, const std::string& version, const std::string& serverUrl) {
    return buildOpenApiDocument(OperationRegistry::instance(), title, version, serverUrl);
}

json buildOpenApiDocument(const OperationRegistry& registry, const std::string& title, const std::string& version,
                          const std::string& serverUrl) {
    json doc = json::object();
    doc["openapi"] = "3.0.3";
    doc["info"] = infoOf(title, version);
    doc["servers"] = json::array({{{"url", serverUrl}, {"description", "TAVO Agent (locally running, port 5123)"}}});

    json paths = json::object();
    json schemas = json::object();
    SchemaNames names;
    ResultSchemas results(schemas, names);
    addSharedSchemas(schemas, names);
    const auto entries = registry.listAll();
    for (const auto& entry : entries) {
        auto op = registry.create(entry.typeId);
        if (!op) continue;
        const ResultSpec result = op->resultSchema();
        const std::string requestName =
            names.claim(SchemaNames::Owner::Request, entry.typeId, pascalCase(entry.typeId) + "Request").first;
        const std::string resultName =
            result.name.empty()
                ? names.claim(SchemaNames::Owner::TypeResult, entry.typeId, pascalCase(entry.typeId) + "Result").first
                : names.claim(SchemaNames::Owner::NamedResult, result.name, result.name).first;
        schemas[requestName] = requestSchema(entry.typeId, parametersOf(*op));
        schemas[resultName] =
            result.fields.empty() ? genericResultSchema() : results.objectSchema(result.fields, resultName, 0);
        // Encoded so that a type id never reads as a path template ("{x}").
        paths["/api/v1/operations/" + common::percentEncode(entry.typeId)] = {
            {"post", operationOf(entry, *op, requestName, resultName)}};
    }

    json components = json::object();
    components["securitySchemes"] = securitySchemes();
    doc["tags"] = tagsOf(registry, entries);
    components["schemas"] = std::move(schemas);
    doc["components"] = std::move(components);
    doc["paths"] = std::move(paths);
    return doc;
}

}  // namespace tavo::core::openapi
