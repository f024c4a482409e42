// Verification of one valid submission token, beside the openssl command
// line's own RSA-2048 verify rate measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "infrastructure/tavocloud/JwtVerifier.h"
#include "support/TempDir.h"
#include "support/TestJwt.h"
#include "support/TestPki.h"

using tavo::core::infra::tavocloud::JwtVerifier;

namespace {

struct Fixture {
    tavo::test::IssuedCert cert = tavo::test::TestPki::instance().issueClient("Bench Issuer");
    std::string publicPem = tavo::test::opensslPublicKeyPem(cert.keyFile);
    std::string token = tavo::test::makeSignedToken(
        R"({"alg":"RS256","typ":"JWT"})",
        R"({"iss":"tavo-cloud","exp":4102444800,"typeId":7,"min_ver":"0.1.0","eik":"121212121","jti":"b-1"})",
        cert.keyFile);
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_JwtVerify(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        auto r = JwtVerifier::verify(f.token, f.publicPem);
        if (!r.ok) state.SkipWithError(r.error.c_str());
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_JwtVerify);

void BM_JwtVerifyCertificatePem(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        auto r = JwtVerifier::verify(f.token, f.cert.certPem);
        if (!r.ok) state.SkipWithError(r.error.c_str());
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_JwtVerifyCertificatePem);

// The reference: "openssl speed" prints verifies per second for rsa2048.
void BM_OpensslSpeedRsa2048Verify(benchmark::State& state) {
    double perSecond = 0;
    for (auto _ : state) {
        std::string out;
        tavo::test::runCommand("openssl speed -seconds 1 rsa2048 2>/dev/null", &out, false);
        // Last line: "rsa 2048 bits 0.000600s 0.000018s   1666.7  55555.6"
        size_t at = out.rfind("rsa 2048 bits");
        double sign = 0, verify = 0, signRate = 0;
        if (at != std::string::npos && std::sscanf(out.c_str() + at, "rsa 2048 bits %lfs %lfs %lf %lf", &sign, &verify,
                                                   &signRate, &perSecond) == 4) {
            state.counters["openssl_verify_us"] = verify * 1e6;
        } else {
            state.SkipWithError("could not read openssl speed output");
        }
    }
    state.counters["openssl_verify_per_s"] = perSecond;
}
BENCHMARK(BM_OpensslSpeedRsa2048Verify)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
