// executeOperationTest of an inquiry answering 1,000 rows, beside a bare
// nlohmann parse and dump of the same payload.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "InMemorySettingsProvider.h"
#include "TavoEngine.h"
#include "operations/IInquiry.h"
#include "operations/OperationRegistry.h"

using namespace tavo::core;
using namespace tavo::core::operations;

namespace {

FieldSpec field(const char* id, FieldType type) {
    FieldSpec f;
    f.id = id;
    f.type = type;
    return f;
}

struct Thousand : IInquiry {
    std::string typeId() const override { return "bench_thousand"; }
    std::string displayName() const override { return "Хиляда реда"; }
    std::string featureGroupId() const override { return "bench"; }
    std::string featureGroupName() const override { return "Bench"; }
    SubmissionChannel channel() const override { return SubmissionChannel::Browser; }
    AuthScheme authScheme() const override { return AuthScheme::None; }
    std::vector<ParameterSpec> parameters() const override { return {}; }
    ResultSpec resultSchema() const override {
        return {"ThousandResult", {field("status", FieldType::String), [] {
                                       FieldSpec rows = field("rows", FieldType::ArrayOfObjects);
                                       rows.itemSchemaName = "ThousandRow";
                                       rows.itemFields = {
                                           field("docId", FieldType::String),  field("income", FieldType::String),
                                           field("date", FieldType::Date),     field("amount", FieldType::Number),
                                           field("count", FieldType::Integer), field("ok", FieldType::Boolean),
                                           field("period", FieldType::String), field("type", FieldType::String),
                                           field("note", FieldType::String),   field("state", FieldType::String)};
                                       return rows;
                                   }()}};
    }
    InquiryResult execute(tavo::core::domain::NapSession&, const ParameterValues&) override { return {}; }
    InquiryResult testFixture(const ParameterValues&) override {
        InquiryResult r;
        const ResultSpec schema = resultSchema();
        for (const auto& f : schema.fields[1].itemFields) r.columns.push_back({f.id, f.label});
        for (int i = 0; i < 1000; ++i) {
            r.rows.push_back({"DOC-" + std::to_string(i), "2400" + std::to_string(i), "2026-01-15",
                              std::to_string(i) + ".25", std::to_string(i), i % 2 ? "true" : "false", "2024-12",
                              "Декларация", "Бележка за ред " + std::to_string(i), "Приета"});
        }
        r.metadata["status"] = "ok";
        return r;
    }
};

const bool registered =
    OperationRegistry::instance().registerOperation("bench_thousand", [] { return std::make_unique<Thousand>(); });

TavoEngine& engine() {
    static TavoEngine e(std::make_unique<InMemorySettingsProvider>());
    return e;
}

void BM_ExecuteOperationTest(benchmark::State& state) {
    for (auto _ : state) {
        ExecuteResult r = engine().executeOperationTest("bench_thousand", "{}");
        benchmark::DoNotOptimize(r.payload.data());
    }
}
BENCHMARK(BM_ExecuteOperationTest)->Unit(benchmark::kMillisecond);

void BM_NlohmannParseAndDump(benchmark::State& state) {
    const std::string payload = engine().executeOperationTest("bench_thousand", "{}").payload;
    for (auto _ : state) {
        std::string out = nlohmann::json::parse(payload).dump();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = static_cast<double>(payload.size());
}
BENCHMARK(BM_NlohmannParseAndDump)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
