#include "operations/TestFixtures.h"

#include <charconv>

namespace tavo::core::operations {
namespace {

// Locale-independent: the fixture must read "12.34" under any process locale.
std::string fixed2(double value) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
    return std::string(buf, res.ptr);
}

std::string placeholderFor(const FieldSpec& field, int row) {
    switch (field.type) {
        case FieldType::String:
            return "demo-" + std::to_string(row);
        case FieldType::Integer:
            return std::to_string(42 + row);
        case FieldType::Number:
            return fixed2((row + 1) * 12.34);
        case FieldType::Date:
            return "2026-01-15";
        case FieldType::DateTime:
            return "2026-01-15T10:00:00Z";
        case FieldType::Boolean:
            return row == 0 ? "true" : "false";
        case FieldType::Enum:
            return field.enumValues.empty() ? "demo" : field.enumValues.front();
        default:
            return {};
    }
}

}  // namespace

InquiryResult generateInquiryFixture(const ResultSpec& spec) {
    InquiryResult result;
    for (const FieldSpec& field : spec.fields) {
        if (field.type != FieldType::ArrayOfObjects) continue;
        for (const FieldSpec& item : field.itemFields) result.columns.push_back({item.id, item.label});
        for (int row = 0; row < 2; ++row) {
            std::vector<std::string> cells;
            cells.reserve(field.itemFields.size());
            for (const FieldSpec& item : field.itemFields) cells.push_back(placeholderFor(item, row));
            result.rows.push_back(std::move(cells));
        }
        break;  // only the first array of objects feeds the table
    }
    for (const FieldSpec& field : spec.fields) {
        if (field.type == FieldType::ArrayOfScalars || field.type == FieldType::ArrayOfObjects) continue;
        result.metadata[field.id] = placeholderFor(field, 0);
    }
    auto status = result.metadata.find("status");
    if (status != result.metadata.end() && status->second != "ok") status->second = "ok";
    return result;
}

SubmissionResult generateSubmissionFixture(const ResultSpec&) {
    SubmissionResult result;
    result.success = true;
    result.incomeNumber = "TEST-202601-12345";
    result.documentId = "DOC-TEST-12345";
    result.submissionDate = "2026-01-15T10:00:00Z";
    return result;
}

}  // namespace tavo::core::operations
