// Filing a 50 MB declaration file through the REST API submitter (read, sign on
// the SoftHSM card, Base64, JSON, HTTPS POST to a stand-in), beside what the
// same work costs with the command line: "base64 -w0" plus "openssl cms -sign"
// of the same file, in the same run. The stand-in runs in a child process so
// that the peak resident memory reported is the submitter's alone.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "domain/NapSession.h"
#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/http/NapRestSubmitter.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "support/RestApiStandIn.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

using namespace tavo::test;
namespace http = tavo::core::infra::http;

namespace {

constexpr size_t kFileBytes = 50u * 1024 * 1024;

double peakRssBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) * 1024.0;  // kilobytes on Linux
}

struct Fixture {
    SoftHsmToken token;  // before anything loads the module
    SoftHsmToken::Key key = token.addRsaKey("B5", "Bench Signer", "bench@example.com");
    IssuedCert softwareCert = TestPki::instance().issueClient("Bench Reference", "ref@example.com");
    TempDir dir{"tavo-bench-rest"};
    std::string file = (dir / "declaration.xml").string();
    pid_t child = -1;
    int keepAlive = -1;  // the child leaves when this closes
    std::unique_ptr<tavo::signing::SignerPkcs11> signer;
    std::unique_ptr<tavo::core::domain::NapSession> session;
    double rssBeforeSubmit = 0;

    Fixture() {
        // Written in slices: the file never sits whole in this process.
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(file.c_str(), "wb"), std::fclose);
        std::string slice(1 << 20, ' ');
        for (size_t written = 0; written < kFileBytes; written += slice.size()) {
            for (size_t i = 0; i < slice.size(); ++i) slice[i] = static_cast<char>('A' + (written + i) * 7919 % 26);
            std::fwrite(slice.data(), 1, slice.size(), out.get());
        }
        out.reset();
        startStandIn();
        signer = std::make_unique<tavo::signing::SignerPkcs11>(SoftHsmToken::modulePath());
        signer->warmUp(key.certificateId, token.userPin());
        session = std::make_unique<tavo::core::domain::NapSession>();
        tavo::core::domain::SenderIdentity identity;
        identity.identifier = "123456789";
        identity.identifierType = tavo::core::domain::NapIdentifierType::BUS_BULSTAT;
        identity.certificateId = key.certificateId;
        identity.apiKey = "bench-key";
        session->setIdentity(identity);
        rssBeforeSubmit = peakRssBytes();
    }

    void startStandIn() {
        int portPipe[2], alivePipe[2];
        if (pipe(portPipe) != 0 || pipe(alivePipe) != 0) std::abort();
        child = fork();
        if (child == 0) {
            close(portPipe[0]);
            close(alivePipe[1]);
            {
                RestApiStandIn api;
                int port = api.server().port();
                if (write(portPipe[1], &port, sizeof port) != sizeof port) _exit(1);
                char c;
                while (read(alivePipe[0], &c, 1) > 0) {
                }
            }
            _exit(0);
        }
        close(portPipe[1]);
        close(alivePipe[0]);
        keepAlive = alivePipe[1];
        int port = 0;
        if (read(portPipe[0], &port, sizeof port) != sizeof port) std::abort();
        close(portPipe[0]);
        std::string connectTo =
            std::string(tavo::core::infra::nap::kRestApiHost) + ":443:127.0.0.1:" + std::to_string(port);
        setenv("TAVO_TEST_CONNECT_TO", connectTo.c_str(), 1);
        setenv("TAVO_TEST_CA_FILE", TestPki::instance().caCertFile().c_str(), 1);
    }

    ~Fixture() {
        session.reset();
        signer.reset();
        if (keepAlive >= 0) close(keepAlive);
        if (child > 0) waitpid(child, nullptr, 0);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_SubmitterSubmit50MB(benchmark::State& state) {
    Fixture& f = fixture();
    http::NapRestSubmitter submitter(
        *f.session, *f.signer, RestApiStandIn::productionSubmitUrl(), RestApiStandIn::productionResultUrl(),
        "bench-key",
        {tavo::core::domain::DocumentType::DEC_ETZ62, tavo::core::domain::FileDocumentType::DEC_ETZ62,
         tavo::core::domain::FileType::XML, false});
    for (auto _ : state) {
        auto result = submitter.submit(f.file, {{"eik", "123456789"}});
        if (!result.success) state.SkipWithError(("submit failed: " + result.errorMessage).c_str());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
    const double peak = peakRssBytes();
    state.counters["peakRssMB"] = peak / 1e6;
    state.counters["peakRssPerFile"] = peak / kFileBytes;
    state.counters["rssBeforeMB"] = f.rssBeforeSubmit / 1e6;
}
BENCHMARK(BM_SubmitterSubmit50MB)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReferenceBase64AndOpensslCmsSign(benchmark::State& state) {
    Fixture& f = fixture();
    const std::string cmd = "base64 -w0 " + f.file +
                            " > /dev/null && openssl cms -sign -binary -nosmimecap "
                            "-outform DER -out /dev/null -in " +
                            f.file + " -signer " + f.softwareCert.certFile.string() + " -inkey " +
                            f.softwareCert.keyFile.string();
    for (auto _ : state) {
        if (runCommand(cmd) != 0) state.SkipWithError("reference command failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}
BENCHMARK(BM_ReferenceBase64AndOpensslCmsSign)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    fixture();  // the stand-in's child is forked before any thread exists
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
