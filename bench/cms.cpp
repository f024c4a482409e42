// Detached CMS signatures: the builder with a software-key callback and the
// PKCS#11 signer on SoftHSM, beside "openssl cms -sign" on the same key and
// bytes and "openssl speed sha256", all measured in the same run.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "infrastructure/signing/CmsBuilder.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "support/CmsCheck.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

using tavo::signing::CmsBuilder;
using namespace tavo::test;

namespace {

constexpr int64_t kMiB = 1024 * 1024;

struct Fixture {
    IssuedCert cert = TestPki::instance().issueClient("Bench Signer", "bench@example.com");
    CmsBuilder::RawSign sign = softwareRawSign(cert.keyFile);
    TempDir dir{"tavo-bench-cms"};
    std::map<int64_t, std::vector<uint8_t>> data;
    std::map<int64_t, std::string> files;

    const std::vector<uint8_t>& bytes(int64_t n) {
        auto it = data.find(n);
        if (it != data.end()) return it->second;
        std::vector<uint8_t> v(static_cast<size_t>(n));
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
        files[n] = (dir / ("data-" + std::to_string(n))).string();
        writeFile(files[n], std::string(v.begin(), v.end()));
        return data.emplace(n, std::move(v)).first->second;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_BuildDetached(benchmark::State& state) {
    Fixture& f = fixture();
    const auto& data = f.bytes(state.range(0));
    for (auto _ : state) {
        auto sig = CmsBuilder::buildDetached(data, f.cert.certDer, f.sign, true);
        if (sig.empty()) state.SkipWithError("buildDetached failed");
        benchmark::DoNotOptimize(sig);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BuildDetached)->Arg(5)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMillisecond);

// The reference: the command line signs the same bytes with the same key
// (process start included).
void BM_OpensslCmsSign(benchmark::State& state) {
    Fixture& f = fixture();
    f.bytes(state.range(0));
    const std::string cmd = "openssl cms -sign -binary -nosmimecap -outform DER -out /dev/null -in " +
                            shellQuote(f.files[state.range(0)]) + " -signer " + shellQuote(f.cert.certFile.string()) +
                            " -inkey " + shellQuote(f.cert.keyFile.string());
    for (auto _ : state) {
        if (runCommand(cmd) != 0) state.SkipWithError("openssl cms -sign failed");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OpensslCmsSign)->Arg(5)->Arg(kMiB)->Arg(64 * kMiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SignDataSoftHsm(benchmark::State& state) {
    static SoftHsmToken token;
    static SoftHsmToken::Key key = token.addRsaKey("BE", "Bench Card", "bench@example.com");
    tavo::signing::SignerPkcs11 signer(SoftHsmToken::modulePath());
    const auto& data = fixture().bytes(state.range(0));
    for (auto _ : state) {
        auto sig = signer.signData(data, key.certificateId, token.userPin());
        if (sig.empty()) state.SkipWithError("signData failed");
        benchmark::DoNotOptimize(sig);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SignDataSoftHsm)->Arg(kMiB)->Unit(benchmark::kMillisecond);

// SHA-256 alone in this process, the floor of any signature over the bytes.
void BM_Sha256InProcess(benchmark::State& state) {
    const auto& data = fixture().bytes(state.range(0));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(md);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha256InProcess)->Arg(64 * kMiB)->Unit(benchmark::kMillisecond);

// The reference throughput: "openssl speed" on 16 KiB blocks.
void BM_OpensslSpeedSha256(benchmark::State& state) {
    double kbPerSecond = 0;
    for (auto _ : state) {
        std::string out;
        runCommand("openssl speed -evp sha256 -bytes 16384 -seconds 2 2>/dev/null", &out, false);
        size_t at = out.rfind("\nsha256");
        if (at == std::string::npos || std::sscanf(out.c_str() + at, "\nsha256 %lfk", &kbPerSecond) != 1)
            state.SkipWithError("could not read openssl speed output");
    }
    state.counters["openssl_sha256_MBps"] = kbPerSecond * 1000 / 1e6;
}
BENCHMARK(BM_OpensslSpeedSha256)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
