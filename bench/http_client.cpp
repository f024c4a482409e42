// 50 sequential GETs on one client (one connection, reused) against 50
// getFresh calls (a new TLS handshake each), both against the local HTTPS
// stand-in; the counters show the TLS connections the stand-in accepted.
#include <benchmark/benchmark.h>

#include <string>

#include "infrastructure/http/HttpClient.h"
#include "support/StandIn.h"

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

}  // namespace

BENCHMARK(BM_FiftyGetsOneClient)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_FiftyGetFresh)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
