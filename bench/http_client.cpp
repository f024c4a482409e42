// 50 sequential GETs on one client (one connection, reused) against 50
// getFresh calls (a new TLS handshake each), both against the local HTTPS
// stand-in; the counters show the TLS connections the stand-in accepted.
#include <benchmark/benchmark.h>

#include <string>

#include "infrastructure/http/HttpClient.h"
#include "support/StandIn.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace {

using tavo::core::infra::http::HttpClient;
using tavo::test::Reply;
using tavo::test::StandIn;

constexpr int kRequests = 50;

template <bool Fresh>
void fiftyGets(benchmark::State& state) {
    StandIn portal;
    portal.route({"portal.nra.bg"});
    portal.reply("GET", "/home.html", Reply::text(std::string(2048, 'x')));
    std::size_t connections = 0, requests = 0;
    for (auto _ : state) {
        portal.journal().clear();
        HttpClient client({});
        for (int i = 0; i < kRequests; ++i) {
            auto r = Fresh ? client.getFresh("https://portal.nra.bg/home.html")
                           : client.get("https://portal.nra.bg/home.html");
            if (r.status != 200) state.SkipWithError(("request failed: " + r.error).c_str());
        }
        connections += portal.journal().connectionCount();
        requests += portal.journal().size();
    }
    state.counters["tls_connections_per_50"] =
        benchmark::Counter(static_cast<double>(connections) / static_cast<double>(state.iterations()));
    state.counters["requests_per_50"] =
        benchmark::Counter(static_cast<double>(requests) / static_cast<double>(state.iterations()));
}

void BM_FiftyGetsOneClient(benchmark::State& state) {
    fiftyGets<false>(state);
}
void BM_FiftyGetFresh(benchmark::State& state) {
    fiftyGets<true>(state);
}

// Reference: the curl command line fetching the same 50 URLs in one process.
void BM_CurlCliFiftyUrls(benchmark::State& state) {
    StandIn portal;
    portal.reply("GET", "/home.html", Reply::text(std::string(2048, 'x')));
    std::string command = "curl -sS -o /dev/null --connect-to " + portal.connectToEntries({"portal.nra.bg"}) +
                          " --cacert " + tavo::test::shellQuote(tavo::test::TestPki::instance().caCertFile());
    for (int i = 0; i < kRequests; ++i) command += " -o /dev/null https://portal.nra.bg/home.html";
    std::size_t connections = 0;
    for (auto _ : state) {
        portal.journal().clear();
        if (tavo::test::runCommand(command) != 0) state.SkipWithError("curl failed");
        connections += portal.journal().connectionCount();
    }
    state.counters["tls_connections_per_50"] =
        benchmark::Counter(static_cast<double>(connections) / static_cast<double>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_CurlCliFiftyUrls)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_FiftyGetsOneClient)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_FiftyGetFresh)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

BENCHMARK_MAIN();
