// projectInquiry over a 10,000 x 10 table against the same JSON built by hand
// with nlohmann-json from the same cells.
#include <benchmark/benchmark.h>

#include <charconv>
#include <string>

#include "operations/ResultProjection.h"

using namespace tavo::core::operations;
using nlohmann::json;

namespace {

constexpr int kRows = 10000;

struct Column {
    const char* id;
    FieldType type;
};

// Six texts, two integers, a number and a boolean: a typical listing row.
constexpr Column kColumns[] = {
    {"docId", FieldType::String},     {"incomeNumber", FieldType::String}, {"submitted", FieldType::DateTime},
    {"period", FieldType::Date},      {"status", FieldType::Enum},         {"form", FieldType::String},
    {"year", FieldType::Integer},     {"month", FieldType::Integer},       {"amount", FieldType::Number},
    {"accepted", FieldType::Boolean},
};

ResultSpec makeSpec() {
    FieldSpec items;
    items.id = "documents";
    items.type = FieldType::ArrayOfObjects;
    for (const Column& c : kColumns) {
        FieldSpec f;
        f.id = c.id;
        f.type = c.type;
        items.itemFields.push_back(f);
    }
    return {"DocumentsResult", {items}};
}

InquiryResult makeResult() {
    InquiryResult r;
    for (const Column& c : kColumns) r.columns.push_back({c.id, c.id});
    r.rows.reserve(kRows);
    for (int i = 0; i < kRows; ++i) {
        r.rows.push_back({"DOC-" + std::to_string(100000 + i), "2400" + std::to_string(i), "2024-03-14T10:15:00Z",
                          "2024-02-29", "accepted", "Декларация по чл. 55", std::to_string(2020 + i % 5),
                          std::to_string(1 + i % 12), std::to_string(i) + ".25", i % 3 ? "true" : "false"});
    }
    return r;
}

json directBuild(const InquiryResult& r) {
    json items = json::array();
    for (const auto& row : r.rows) {
        json o = json::object();
        for (size_t i = 0; i < std::size(kColumns); ++i) {
            const std::string& cell = row[i];
            switch (kColumns[i].type) {
                case FieldType::Integer: {
                    int64_t v = 0;
                    std::from_chars(cell.data(), cell.data() + cell.size(), v);
                    o[kColumns[i].id] = v;
                    break;
                }
                case FieldType::Number: {
                    double v = 0;
                    std::from_chars(cell.data(), cell.data() + cell.size(), v);
                    o[kColumns[i].id] = v;
                    break;
                }
                case FieldType::Boolean:
                    o[kColumns[i].id] = cell == "true";
                    break;
                default:
                    o[kColumns[i].id] = cell;
            }
        }
        items.push_back(std::move(o));
    }
    json out = json::object();
    out["documents"] = std::move(items);
    return out;
}

void BM_ProjectInquiry(benchmark::State& state) {
    ResultSpec spec = makeSpec();
    InquiryResult r = makeResult();
    for (auto _ : state) benchmark::DoNotOptimize(projectInquiry(spec, r));
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_DirectNlohmann(benchmark::State& state) {
    InquiryResult r = makeResult();
    if (directBuild(r) != projectInquiry(makeSpec(), r)) state.SkipWithError("outputs differ");
    for (auto _ : state) benchmark::DoNotOptimize(directBuild(r));
    state.SetItemsProcessed(state.iterations() * kRows);
}

}  // namespace

BENCHMARK(BM_ProjectInquiry)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectNlohmann)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
