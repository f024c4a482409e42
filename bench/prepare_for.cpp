// Ten consecutive portal preparations against the local portal stand-in with
// the SoftHSM card: requests and new TLS connections per call, and the wall
// time beyond the one-second pause after each taxpayer select. Beside it, the
// floor: the same number of plain keep-alive GETs on one client.
#include <benchmark/benchmark.h>

#include <chrono>
#include <set>

#include "domain/NapSession.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "operations/IPortalHandler.h"
#include "operations/OperationTypes.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"

namespace {

using tavo::core::domain::NapSession;

class Decl55 : public tavo::core::operations::IPortalHandler {
public:
    std::string categoryName() const override { return "Декларации по чл. 55"; }
};

size_t connections(tavo::test::PortalStandIn& portal) {
    std::set<uint64_t> ids;
    for (const auto& r : portal.journal().all()) ids.insert(r.connectionId);
    return ids.size();
}

void BM_PrepareFor(benchmark::State& state) {
    tavo::test::PortalCard card;
    tavo::test::PortalStandIn portal;
    NapSession session;
    session.setIdentity(card.identity());
    session.setPin(card.pin());
    Decl55 handler;
    const char* eiks[] = {"123456789", "987654321"};
    int call = 0;
    double beyondMs = 0, firstBeyondMs = 0;
    size_t firstRequests = 0, firstConnections = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto link = session.prepareFor(handler, eiks[call % 2], 2024);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (!link) state.SkipWithError(session.lastError().c_str());
        double beyond = ms - 1000.0;  // selectTaxpayer's pause
        beyondMs += beyond;
        if (call == 0) {
            firstBeyondMs = beyond;
            firstRequests = portal.journal().size();
            firstConnections = connections(portal);
        }
        ++call;
    }
    double n = static_cast<double>(call);
    state.counters["requests_per_call"] = static_cast<double>(portal.journal().size()) / n;
    state.counters["new_tls_per_call"] = static_cast<double>(connections(portal)) / n;
    state.counters["first_call_requests"] = static_cast<double>(firstRequests);
    state.counters["first_call_new_tls"] = static_cast<double>(firstConnections);
    state.counters["later_requests_per_call"] =
        n > 1 ? static_cast<double>(portal.journal().size() - firstRequests) / (n - 1) : 0;
    state.counters["later_new_tls_per_call"] =
        n > 1 ? static_cast<double>(connections(portal) - firstConnections) / (n - 1) : 0;
    state.counters["beyond_pause_ms_per_call"] = beyondMs / n;
    state.counters["first_call_beyond_pause_ms"] = firstBeyondMs;
    state.counters["later_beyond_pause_ms_per_call"] = n > 1 ? (beyondMs - firstBeyondMs) / (n - 1) : 0;
}
BENCHMARK(BM_PrepareFor)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reference floor: as many plain GETs on one keep-alive client as a later call makes.
void BM_PlainGetsReference(benchmark::State& state) {
    tavo::test::PortalStandIn portal;
    auto client = tavo::core::infra::http::HttpClientFactory::forNapPortal("", "");
    const int perCall = static_cast<int>(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < perCall; ++i) client->get("https://portal.nra.bg/home.html");
    }
    state.counters["requests_per_call"] = perCall;
    state.counters["new_tls_per_call"] = static_cast<double>(connections(portal)) / 10.0;
}
BENCHMARK(BM_PlainGetsReference)->Arg(11)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
