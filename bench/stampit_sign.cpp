// Signing round trips through the Java wrapper: one submission whose wrapper
// asks for 100 signatures of 64 KB each, beside signData alone on the same
// token and a submission that asks for none (the cost of starting Java),
// measured in the same run. Per round trip = (run with 100 - run with 0) / 100.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/Logger.h"
#include "infrastructure/java/StampItBridge.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "support/SoftHsmToken.h"
#include "support/StampItRig.h"
#include "support/TempDir.h"

using namespace tavo::test;

namespace {

constexpr int kRoundTrips = 100;
constexpr int kBytes = 64 * 1024;

struct Fixture {
    TempDir home{"tavo-bench-home"};
    ScopedEnv homeEnv{"HOME", home.str().c_str()};
    std::unique_ptr<UseJdk17> jdk = std::make_unique<UseJdk17>();
    SoftHsmToken token;
    SoftHsmToken::Key key = token.addRsaKey("B1", "Bench Signer", "bench@example.com");
    tavo::signing::SignerPkcs11 signer{SoftHsmToken::modulePath()};
    tavo::stampit::StampItBridge bridge;
    TempDir vat{"tavo-bench-vat"};

    Fixture() {
        tavo::Logger::init((home / "bench.log").string());
        seedStampItCache();
        signer.warmUp(key.certificateId, token.userPin());
        bridge.ensureInstalled({});
    }

    // Runs one submission whose wrapper asks for n signatures; true on success.
    bool submit(int n) {
        writeFile(vat / "scenario.txt",
                  "signrandom " + std::to_string(n) + " " + std::to_string(kBytes) + "\nexit 0\n");
        ScopedEnv scenario("TAVO_WRAPPER_SCENARIO", (vat / "scenario.txt").c_str());
        ScopedEnv record("TAVO_WRAPPER_RECORD", nullptr);
        auto result = bridge.submit(vat.str(), signer, key.certificateId, "bench@example.com", "CERT", "", {});
        return result.success;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_SubmitWithRoundTrips(benchmark::State& state) {
    Fixture& f = fixture();
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state)
        if (!f.submit(n)) state.SkipWithError("submission failed");
    state.counters["round_trips"] = n;
}
BENCHMARK(BM_SubmitWithRoundTrips)->Arg(0)->Arg(kRoundTrips)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_SignDataAlone(benchmark::State& state) {
    Fixture& f = fixture();
    std::vector<uint8_t> data(kBytes);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    for (auto _ : state) {
        auto sig = f.signer.signData(data, f.key.certificateId, "");
        if (sig.empty()) state.SkipWithError("signData failed");
        benchmark::DoNotOptimize(sig);
    }
}
BENCHMARK(BM_SignDataAlone)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
