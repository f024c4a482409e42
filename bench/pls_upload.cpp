// Filing a 20 MB Windows-1251 file through the portal's upload form against
// the stand-in: CPU time and peak resident memory of the uploading process,
// beside "gzip -9 -n", "base64 -w0" and "openssl cms -sign" of the same
// bytes run one after another in the same run.
//
// Each upload runs in a forked child, so that its CPU time and memory are its
// own and not the stand-in's (which answers in this process without checking,
// as the portal's own work is not ours to measure).
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "domain/NapSession.h"
#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "operations/PlsSubmissionExecutor.h"
#include "support/PlsFormStandIn.h"
#include "support/PlsTestSubmission.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

using namespace tavo::test;

namespace {

constexpr size_t kFileBytes = 20u * 1024 * 1024;

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double cpuOf(int who) {
    rusage u{};
    getrusage(who, &u);
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// kB of a /proc/self/status line ("VmHWM:", "VmRSS:").
long statusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
    return -1;
}

// Semicolon-separated lines of Cyrillic words and amounts, LF line ends.
std::string declarationText(size_t size) {
    static const char* words[] = {"Наем",    "Лихви",   "Дивиденти", "Хонорар", "Продажба", "имот",  "София",
                                  "Пловдив", "Варна",   "общо",      "данък",   "доход",    "ЕИК",   "адрес",
                                  "договор", "фактура", "плащане",   "сума",    "ставка",   "период"};
    std::mt19937 rng(7);
    std::string utf8;
    while (utf8.size() < size * 2) {
        for (int i = 0; i < 6; ++i) {
            utf8 += words[rng() % 20];
            utf8 += ';';
        }
        utf8 += std::to_string(rng() % 100000) + "." + std::to_string(rng() % 100) + "\n";
    }
    // UTF-8 Cyrillic to Windows-1251: two bytes to one.
    std::string cp;
    for (size_t i = 0; i < utf8.size() && cp.size() < size; ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c == 0xD0 || c == 0xD1) {
            auto n = static_cast<unsigned char>(utf8[++i]);
            unsigned code = ((c & 0x1F) << 6) | (n & 0x3F);  // U+0400..U+047F
            cp += static_cast<char>(code >= 0x410 && code <= 0x44F ? code - 0x410 + 0xC0 : '?');
        } else {
            cp += static_cast<char>(c);
        }
    }
    return cp;
}

struct Fixture {
    TempDir home{"tavo-bench-home"};
    TempDir dir{"tavo-bench-pls"};
    std::string file, crlfFile;
    PortalCard card;
    PortalStandIn portal;
    PlsFormStandIn forms{portal};
    IssuedCert softwareCert = TestPki::instance().issueClient("Bench Signer", "bench@example.com");

    Fixture() {
        ::setenv("HOME", home.str().c_str(), 1);
        std::string text = declarationText(kFileBytes);
        file = (dir / "decl.txt").string();
        writeFile(file, text);
        std::string crlf;
        crlf.reserve(text.size() + text.size() / 16);
        for (char c : text) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        crlfFile = (dir / "decl-crlf.txt").string();
        writeFile(crlfFile, crlf);
        // Answer without checking, off the combined journal.
        portal.portal().on("POST", forms.uploadPath(),
                           [](const RecordedRequest&) { return Reply::text(PlsFormStandIn::acceptedPage("1")); });
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

struct ChildFigures {
    double cpu = 0;
    long hwmKb = 0, baseKb = 0;
    int ok = 0;
};

ChildFigures uploadInChild(Fixture& f) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        ChildFigures out;
        {
            tavo::signing::SignerPkcs11 signer(SoftHsmToken::modulePath());
            tavo::core::domain::NapSession session;
            session.setIdentity(f.card.identity());
            session.setPin(f.card.pin());
            session.setSigner(&signer);
            PlsTestSubmission op;
            // Logged in and selected first: the login is not the upload's cost.
            session.prepareForParams(op, {{"eik", "123456789"}, {"year", "2024"}});
            std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak from here
            out.baseKb = statusKb("VmRSS:");
            double before = cpuOf(RUSAGE_SELF);
            auto r = tavo::core::operations::executePlsSubmission(session, op, f.file,
                                                                  {{"eik", "123456789"}, {"year", "2024"}});
            out.cpu = cpuOf(RUSAGE_SELF) - before;
            out.hwmKb = statusKb("VmHWM:");
            out.ok = r.success ? 1 : 0;
        }
        ssize_t n = write(fds[1], &out, sizeof out);
        _exit(n == sizeof out ? 0 : 1);
    }
    close(fds[1]);
    ChildFigures in;
    ssize_t n = read(fds[0], &in, sizeof in);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n != sizeof in) in.ok = 0;
    return in;
}

void BM_PlsUpload20MB(benchmark::State& state) {
    Fixture& f = fixture();
    double hwm = 0, growth = 0;
    for (auto _ : state) {
        ChildFigures c = uploadInChild(f);
        f.portal.portal().journal().clear();
        if (!c.ok) {
            state.SkipWithError("upload failed");
            break;
        }
        state.SetIterationTime(c.cpu);
        hwm = std::max(hwm, static_cast<double>(c.hwmKb) / 1024.0);
        growth = std::max(growth, static_cast<double>(c.hwmKb - c.baseKb) / 1024.0);
    }
    state.counters["file_MiB"] = kFileBytes / 1048576.0;
    state.counters["peak_rss_MiB"] = hwm;
    state.counters["peak_growth_MiB"] = growth;
    state.counters["peak_growth_x_file"] = growth / (kFileBytes / 1048576.0);
}
BENCHMARK(BM_PlsUpload20MB)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// gzip -9 -n, base64 -w0 of its output and openssl cms -sign of the CR LF
// bytes, one after another: the CPU time of the three children.
void BM_ReferenceGzipBase64CmsSign(benchmark::State& state) {
    Fixture& f = fixture();
    const std::string gz = (f.dir / "decl.gz").string();
    const std::string commands[] = {"gzip -9 -n -c " + shellQuote(f.crlfFile) + " > " + shellQuote(gz),
                                    "base64 -w0 " + shellQuote(gz) + " > /dev/null",
                                    "openssl cms -sign -binary -md sha256 -in " + shellQuote(f.crlfFile) + " -signer " +
                                        shellQuote(f.softwareCert.certFile.string()) + " -inkey " +
                                        shellQuote(f.softwareCert.keyFile.string()) + " -outform DER -out /dev/null"};
    double parts[3] = {0, 0, 0};
    for (auto _ : state) {
        double total = 0;
        for (int i = 0; i < 3; ++i) {
            double before = cpuOf(RUSAGE_CHILDREN);
            if (runCommand(commands[i]) != 0) state.SkipWithError(commands[i].c_str());
            double spent = cpuOf(RUSAGE_CHILDREN) - before;
            parts[i] = spent;
            total += spent;
        }
        state.SetIterationTime(total);
    }
    state.counters["gzip_s"] = parts[0];
    state.counters["base64_s"] = parts[1];
    state.counters["cms_sign_s"] = parts[2];
}
BENCHMARK(BM_ReferenceGzipBase64CmsSign)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Every production host closed first; the stand-ins open theirs.
    std::string closed;
    for (const char* host : tavo::core::infra::nap::kAllHosts) {
        if (!closed.empty()) closed += ',';
        closed += host;
        closed += ":443:127.0.0.1:1";
    }
    ::setenv("TAVO_TEST_CONNECT_TO", closed.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
