// Untrusted cell and metadata texts projected through a schema of every field
// type: nothing may throw, a number field stays a number, and the lenient
// dump must parse back as JSON.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/SafeJson.h"
#include "operations/ResultProjection.h"

using namespace tavo::core::operations;

namespace {

FieldSpec field(const std::string& id, FieldType type, bool nullable) {
    FieldSpec f;
    f.id = id;
    f.type = type;
    f.nullable = nullable;
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    ResultSpec spec{"FuzzResult", {}};
    FieldSpec table = field("t", FieldType::ArrayOfObjects, false);
    InquiryResult result;
    for (int type = 0; type <= 9; ++type) {
        for (bool nullable : {false, true}) {
            std::string id = std::to_string(type) + (nullable ? "n" : "");
            spec.fields.push_back(field(id, static_cast<FieldType>(type), nullable));
            table.itemFields.push_back(field(id, static_cast<FieldType>(type), nullable));
            result.columns.push_back({id, id});
        }
    }
    spec.fields.push_back(table);

    // Cells split at newlines, rows at blank lines; every scalar field reads
    // one of the cells too.
    std::vector<std::string> row;
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        std::string cell(input.substr(start, end - start));
        if (cell.empty() && !row.empty()) {
            result.rows.push_back(std::move(row));
            row.clear();
        } else {
            row.push_back(cell);
        }
        start = end + 1;
    }
    if (!row.empty()) result.rows.push_back(std::move(row));
    size_t i = 0;
    for (const auto& r : result.rows)
        for (const auto& cell : r) result.metadata[result.columns[i++ % result.columns.size()].id] = cell;

    // A field the schema says is a number never comes out null (NaN and the
    // infinities included).
    const std::string number = std::to_string(static_cast<int>(FieldType::Number));
    nlohmann::json typed = projectInquiry(spec, result);
    if (!typed[number].is_number()) std::abort();
    for (const auto& item : typed["t"])
        if (!item[number].is_number()) std::abort();

    for (const ResultSpec& s : {spec, ResultSpec{}}) {
        nlohmann::json out = projectInquiry(s, result);
        if (!out.is_object()) std::abort();
        std::string text = tavo::core::common::safejson::dumpLenient(out);
        if (!tavo::core::common::safejson::parse(text, 1000).value) std::abort();
    }
    return 0;
}
