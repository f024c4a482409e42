#include "operations/ResultProjection.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "common/Ascii.h"
#include "common/Numbers.h"

namespace tavo::core::operations {
namespace {

using nlohmann::json;

const char* skipSpace(const char* p, const char* end) {
    while (p != end && common::ascii::isSpace(*p)) ++p;
    return p;
}

// Leading finite floating-point number in the manner of stod under the C
// locale: decimal and hexadecimal ("0x"); what follows is ignored; overflow,
// underflow and the infinity and NaN spellings ("inf", "Infinity", "nan",
// even "info") fail: JSON has no such number, and the field would come out
// null where the published schema promises a number.
std::optional<double> leadingDouble(std::string_view text) {
    const char* end = text.data() + text.size();
    const char* p = skipSpace(text.data(), end);
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end || *p == '-' || *p == '+') return std::nullopt;
    double value = 0;
    bool parsed = false;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && p[2] != '-' && p[2] != '+') {
        auto [ptr, ec] = std::from_chars(p + 2, end, value, std::chars_format::hex);
        if (ec == std::errc::result_out_of_range) return std::nullopt;
        parsed = ec == std::errc() && ptr != p + 2;
    }
    if (!parsed) {
        auto [ptr, ec] = std::from_chars(p, end, value, std::chars_format::general);
        if (ec != std::errc() || ptr == p) return std::nullopt;
    }
    if (!std::isfinite(value)) return std::nullopt;
    return negative ? -value : value;
}

json fallbackFor(const FieldSpec& field) {
    switch (field.type) {
        case FieldType::Integer:
            return json(int64_t{0});
        case FieldType::Number:
            return json(0.0);
        case FieldType::Boolean:
            return json(false);
        default:
            return json(std::string());
    }
}

json emptyValue(const FieldSpec& field) {
    return field.nullable ? json(nullptr) : fallbackFor(field);
}

json genericEnvelope(const InquiryResult& result) {
    json columns = json::array();
    for (const ColumnSpec& c : result.columns) columns.push_back(json{{"id", c.id}, {"label", c.label}});
    json rows = json::array();
    for (const auto& row : result.rows) {
        json cells = json::array();
        for (const std::string& cell : row) cells.push_back(cell);
        rows.push_back(std::move(cells));
    }
    json metadata = json::object();
    for (const auto& [key, value] : result.metadata) metadata[key] = value;
    json out = json::object();
    out["columns"] = std::move(columns);
    out["metadata"] = std::move(metadata);
    out["rows"] = std::move(rows);
    return out;
}

json tableOf(const FieldSpec& field, const InquiryResult& result,
             const std::unordered_map<std::string_view, size_t>& columnIndex) {
    // Each item field reads one column for every row: look its position up once.
    constexpr size_t kAbsent = static_cast<size_t>(-1);
    std::vector<size_t> positions;
    positions.reserve(field.itemFields.size());
    for (const FieldSpec& item : field.itemFields) {
        auto it = columnIndex.find(item.id);
        positions.push_back(it == columnIndex.end() ? kAbsent : it->second);
    }
    json items = json::array();
    auto& array = items.get_ref<json::array_t&>();
    array.reserve(result.rows.size());
    for (const auto& row : result.rows) {
        json object(json::value_t::object);
        auto& members = object.get_ref<json::object_t&>();
        for (size_t i = 0; i < field.itemFields.size(); ++i) {
            const FieldSpec& item = field.itemFields[i];
            size_t pos = positions[i];
            json value = (pos != kAbsent && pos < row.size()) ? stringToTyped(row[pos], item) : emptyValue(item);
            members.insert_or_assign(item.id, std::move(value));
        }
        array.push_back(std::move(object));
    }
    return items;
}

}  // namespace

json stringToTyped(std::string_view text, const FieldSpec& field) {
    if (text.empty()) return emptyValue(field);
    switch (field.type) {
        case FieldType::ArrayOfScalars:
        case FieldType::ArrayOfObjects:
            return json::array();
        case FieldType::Integer: {
            auto value = common::leadingInt64(text);
            if (!value) return field.nullable ? json(nullptr) : json(int64_t{0});
            return json(*value);
        }
        case FieldType::Number: {
            auto value = leadingDouble(text);
            if (!value) return field.nullable ? json(nullptr) : json(0.0);
            return json(*value);
        }
        case FieldType::Boolean:
            return json(text == "1" || text == "true" || text == "TRUE" || text == "True");
        default:
            return json(std::string(text));
    }
}

json projectInquiry(const ResultSpec& spec, const InquiryResult& result) {
    if (spec.fields.empty()) return genericEnvelope(result);
    std::unordered_map<std::string_view, size_t> columnIndex;
    columnIndex.reserve(result.columns.size());
    for (size_t i = 0; i < result.columns.size(); ++i) columnIndex.emplace(result.columns[i].id, i);  // first wins

    json out = json::object();
    for (const FieldSpec& field : spec.fields) {
        if (field.type == FieldType::ArrayOfObjects) {
            out[field.id] = tableOf(field, result, columnIndex);
            continue;
        }
        auto it = result.metadata.find(field.id);
        out[field.id] = stringToTyped(it == result.metadata.end() ? std::string_view() : it->second, field);
    }
    return out;
}

json projectSubmission(const ResultSpec& spec, const SubmissionResult& result) {
    if (spec.fields.empty()) {
        json out = json::object();
        out["success"] = result.success;
        out["incomeNumber"] = result.incomeNumber;
        out["documentId"] = result.documentId;
        out["submissionDate"] = result.submissionDate;
        out["errorMessage"] = result.errorMessage;
        out["nativeErrors"] = result.nativeErrors;
        return out;
    }
    json out = json::object();
    for (const FieldSpec& field : spec.fields) {
        const std::string& id = field.id;
        json value;
        if (id == "success")
            value = result.success;
        else if (id == "incomeNumber")
            value = result.incomeNumber;
        else if (id == "documentId")
            value = result.documentId;
        else if (id == "submissionDate")
            value = result.submissionDate;
        else if (id == "errorMessage")
            value = result.errorMessage;
        else if (id == "rawBody")
            value = result.rawBody;
        else if (id == "rawBodyContentType")
            value = result.rawBodyContentType;
        else if (id == "rawBodyUrl")
            value = result.rawBodyUrl;
        else if (id == "nativeErrors")
            value = result.nativeErrors;
        out[id] = std::move(value);
    }
    return out;
}

}  // namespace tavo::core::operations
