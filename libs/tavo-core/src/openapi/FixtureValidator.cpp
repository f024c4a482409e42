#include <exception>

#include "openapi/OpenApiBuilder.h"
#include "operations/OperationKinds.h"
#include "operations/OperationRegistry.h"
#include "operations/ResultProjection.h"

namespace tavo::core::openapi {

using nlohmann::json;
using namespace tavo::core::operations;

namespace {

const char* jsonTypeName(const json& v) {
    switch (v.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::object:
            return "object";
        case json::value_t::array:
            return "array";
        case json::value_t::string:
            return "string";
        case json::value_t::boolean:
            return "boolean";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float:
            return "number";
        case json::value_t::binary:
            return "binary";
        default:
            return "discarded";
    }
}

bool isFallback(const FieldSpec& f, const json& v) {
    switch (f.type) {
        case FieldType::String:
        case FieldType::Date:
        case FieldType::DateTime:
        case FieldType::Enum:
            return v.is_string() && v.get_ref<const std::string&>().empty();
        case FieldType::Integer:
            return (v.is_number_integer() && !v.is_number_unsigned() && v.get<int64_t>() == 0) ||
                   (v.is_number_unsigned() && v.get<uint64_t>() == 0);
        case FieldType::Number:
            return v.is_number_float() && v.get<double>() == 0.0;
        case FieldType::Boolean:
            return v.is_boolean() && !v.get<bool>();
        default:
            return false;
    }
}

void checkObjectAgainstSchema(const std::string& path, const std::vector<FieldSpec>& fields, const json& value,
                              std::vector<std::string>& issues) {
    if (!value.is_object()) {
        issues.push_back(path + ": expected JSON object, got " + jsonTypeName(value));
        return;
    }
    for (const FieldSpec& f : fields) {
        const std::string fieldPath = path + "." + f.id;
        auto it = value.find(f.id);
        if (it == value.end()) {
            issues.push_back(fieldPath + ": field missing from projected fixture");
            continue;
        }
        const json& member = *it;
        if (member.is_null()) {
            if (!f.nullable)
                issues.push_back(fieldPath + ": projected value is null but schema marks the field non-nullable");
            continue;
        }
        if (f.type == FieldType::ArrayOfScalars) continue;
        if (f.type == FieldType::ArrayOfObjects) {
            if (member.is_array() && !member.empty()) {
                checkObjectAgainstSchema(fieldPath + "[0]", f.itemFields, member.front(), issues);
            } else {
                issues.push_back(fieldPath + ": testFixture must populate at least one item; got empty array");
            }
            continue;
        }
        if (f.nullable) continue;
        if (isFallback(f, member))
            issues.push_back(fieldPath +
                             ": projected value is the type-fallback (likely a missing column id in testFixture)");
    }
}

}  // namespace

std::vector<std::string> validateTestFixtures() {
    return validateTestFixtures(OperationRegistry::instance());
}

std::vector<std::string> validateTestFixtures(const OperationRegistry& registry) {
    std::vector<std::string> issues;
    for (const auto& entry : registry.listAll()) {
        auto op = registry.create(entry.typeId);
        if (!op) {
            issues.push_back(entry.typeId + ": registry returned null factory");
            continue;
        }
        ResultSpec schema = op->resultSchema();
        if (schema.fields.empty()) continue;
        ParameterValues params;
        try {
            json projected = byKind(
                *op, [&](ISubmission& submission) { return projectSubmission(schema, submission.testFixture(params)); },
                [&](IInquiry& inquiry) { return projectInquiry(schema, inquiry.testFixture(params)); });
            checkObjectAgainstSchema(entry.typeId, schema.fields, projected, issues);
        } catch (const std::exception& e) {
            issues.push_back(entry.typeId + ": testFixture/project threw \u2014 " + e.what());
        }
    }
    return issues;
}

}  // namespace tavo::core::openapi
