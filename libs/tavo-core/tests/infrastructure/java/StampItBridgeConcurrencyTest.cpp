// The bridge driving our wrapper class under the installed OpenJDK 17: every
// case starts real Java children, and submissions run the runner's
// error-reading thread beside the signing on the calling thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Base64.h"
#include "common/Logger.h"
#include "common/Paths.h"
#include "infrastructure/java/StampItBridge.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "support/CmsCheck.h"
#include "support/FakeJava.h"
#include "support/SoftHsmToken.h"
#include "support/StampItRig.h"
#include "support/TempDir.h"
#include "support/TestArchives.h"

namespace {

namespace fs = std::filesystem;
namespace b64 = tavo::core::common::base64;
using tavo::Paths;
using tavo::signing::SignerPkcs11;
using tavo::stampit::StampItBridge;
using tavo::test::readFile;
using tavo::test::SoftHsmToken;
using tavo::test::TempDir;
using tavo::test::WrapperScenario;
using Strings = std::vector<std::string>;

const std::string kCert = "MIIBrecipientCertificateBase64";

// Progress texts from both of the run's threads.
class ProgressLog {
public:
    StampItBridge::Progress callback() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex_);
            texts_.push_back(text);
        };
    }
    Strings texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    bool has(const std::string& text) {
        for (const std::string& t : texts())
            if (t == text) return true;
        return false;
    }

private:
    std::mutex mutex_;
    Strings texts_;
};

class StampItBridgeRun : public ::testing::Test {
protected:
    void SetUp() override {
        tavo::Logger::init((logDir_ / "test.log").string());
        tavo::test::seedStampItCache();
        vatDir_ = (files_ / "ДДС 2024-05").string();
        fs::create_directories(vatDir_);
    }
    std::string log() const { return readFile(logDir_ / "test.log"); }
    bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

    TempDir logDir_{"tavo-stampit-log"};
    TempDir files_{"tavo-vat"};
    tavo::test::UseJdk17 jdk_;
    std::string vatDir_;
};

// A token with one key, logged in once so that signing with an empty PIN works.
struct Card {
    bool loaded = (tavo::test::keepSoftHsmLoaded(), true);
    SoftHsmToken token;
    SoftHsmToken::Key key = token.addRsaKey("A1B2", "Ivan Testov", "ivan@example.bg");
    SignerPkcs11 signer{SoftHsmToken::modulePath()};
    Card() { EXPECT_TRUE(signer.warmUp(key.certificateId, token.userPin())); }
};

// Every reply the wrapper read is a detached CMS signature of exactly the
// bytes it asked to have signed.
void expectEverySignatureVerifies(const tavo::test::WrapperRecord& record, size_t expectedRequests) {
    ASSERT_EQ(record.exchanges.size(), expectedRequests);
    for (const auto& x : record.exchanges) {
        ASSERT_EQ(x.reply.rfind("SIGNATURE:", 0), 0u) << x.reply;
        const auto signature = b64::decode(x.reply.substr(10));
        ASSERT_FALSE(signature.empty());
        const auto asked = tavo::stampit::bridge_lines::b64Decode(x.askedBase64);
        auto verdict = tavo::test::verifyDetachedCms(signature, asked);
        EXPECT_TRUE(verdict.verified) << verdict.output;
    }
}

TEST_F(StampItBridgeRun, InstalledFromAFullCacheWithoutAnyFetch) {
    fs::remove(fs::path(Paths::stampitWrapperDir()) / "TavoVatUploader.class");
    StampItBridge bridge;
    int fetches = 0;
    bridge.setFetcher([&](const std::string&) {
        ++fetches;
        return std::vector<uint8_t>{};
    });
    ProgressLog progress;
    EXPECT_TRUE(bridge.ensureInstalled(progress.callback()));
    EXPECT_TRUE(bridge.ensureInstalled(progress.callback()));
    EXPECT_EQ(fetches, 0);
    EXPECT_EQ(progress.texts(), (Strings{"Търсене на Java…", "Готово.", "Търсене на Java…", "Готово."}));
    // The class shipped beside the executable was copied into the cache.
    EXPECT_TRUE(fs::exists(fs::path(Paths::stampitWrapperDir()) / "TavoVatUploader.class"));
    EXPECT_FALSE(logged("Missing"));

    // The class path holds the wrapper folder and the three archives once.
    WrapperScenario wrapper({"out Грешка, която не се брои", "exit 0"});
    EXPECT_EQ(bridge.validate(vatDir_, {}), Strings{});
    const std::string root = Paths::stampitRoot();
    const std::string launching = "StampIT validate: launching: " + tavo::test::installedJdk17Java() +
                                  " -Djava.awt.headless=true -Dfile.encoding=UTF-8 -Djava.library.path=" + root +
                                  "/native -cp " + root + "/wrapper:" + root + "/VATClientService.jar:" + root +
                                  "/SignerService.jar:" + root + "/LSManager.jar TavoVatUploader validate\n";
    EXPECT_TRUE(logged(launching)) << log();
    auto record = wrapper.record();
    EXPECT_EQ(record.args, Strings{"validate"});
    EXPECT_EQ(record.firstInputLine, "DIR:" + vatDir_);
}

// The validation route and a VAT operation may reach the one bridge at once:
// both find it uninstalled, and the calls take turns (ThreadSanitizer watches
// the shared state; the wrapper's record shows whole runs one after another).
TEST_F(StampItBridgeRun, CallsOnOneBridgeTakeTurns) {
    StampItBridge bridge;
    WrapperScenario wrapper({"out Грешка", "exit 1"});
    std::vector<Strings> results(2);
    std::thread other([&] { results[0] = bridge.validate(vatDir_, {}); });
    results[1] = bridge.validate(vatDir_, {});
    other.join();
    for (const Strings& r : results) EXPECT_EQ(r, Strings{"Грешка"});
    auto record = wrapper.record();
    EXPECT_EQ(record.args, (Strings{"validate", "validate"}));
    EXPECT_TRUE(logged("version=17"));
}

TEST_F(StampItBridgeRun, ValidationOutcomes) {
    struct Case {
        const char* name;
        Strings scenario;
        Strings expected;
    };
    Strings twelve;
    Strings tenErrors;
    for (int i = 1; i <= 12; ++i) {
        twelve.push_back("err   Exception в ред " + std::to_string(i) + "\t");
        if (i <= 10) tenErrors.push_back("Exception в ред " + std::to_string(i));
    }
    Strings technical = {"out bcEncrypt done", "out    stat: 12", "out ", "out maxProgress 5", "exit 1"};
    technical.insert(technical.begin(), twelve.begin(), twelve.end());
    for (const Case& c : {
             Case{"exit 0 whatever was printed", {"out Грешка в ред 3", "err boom", "exit 0"}, {}},
             Case{"only technical lines: ten error-stream lines", technical, tenErrors},
             Case{"no lines at all",
                  {"exit 4"},
                  {"Валидацията се провали (код 4). Виж TavoAgentC.log за пълен изход от Java."}},
             Case{"output errors, de-duplicated, Cyrillic intact",
                  {"out  Грешка в ред 3 ", "out parsefiles 2", "out Грешка в ред 3", "out Липсва ЕИК", "err ignored",
                   "exit 1"},
                  {"Грешка в ред 3", "Липсва ЕИК"}},
         }) {
        SCOPED_TRACE(c.name);
        StampItBridge bridge;
        WrapperScenario wrapper(c.scenario);
        ProgressLog progress;
        EXPECT_EQ(bridge.validate(vatDir_, progress.callback()), c.expected);
        EXPECT_EQ(wrapper.record().firstInputLine, "DIR:" + vatDir_);
        const std::string last = c.expected.empty() ? "Валидацията премина успешно."
                                                    : "Намерени грешки: " + std::to_string(c.expected.size());
        ASSERT_FALSE(progress.texts().empty());
        EXPECT_EQ(progress.texts().back(), last);
        EXPECT_TRUE(progress.has("Стартиране на валидация…"));
    }
}

TEST_F(StampItBridgeRun, SubmissionSignsEveryRequest) {
    Card card;
    StampItBridge bridge;
    ASSERT_TRUE(bridge.ensureInstalled({}));
    WrapperScenario wrapper({"err Зареждане Прогрес: 10%", "out Информация за подаването",
                             "sign Декларация по ЗДДС за май", "signrandom 2 65536", "err java: диагностика", "sign x",
                             "err Качване Прогрес: 100%", "out SUCCESS: вх. № 1234", "exit 0"});
    ProgressLog progress;
    auto result =
        bridge.submit(vatDir_, card.signer, card.key.certificateId, "ivan@example.bg", kCert, "", progress.callback());

    EXPECT_TRUE(result.success) << result.errorMessage << "\n" << result.output;
    EXPECT_EQ(result.errorMessage, "");
    EXPECT_TRUE(result.nativeErrors.empty());
    auto record = wrapper.record();
    expectEverySignatureVerifies(record, 4);
    EXPECT_EQ(record.args, (Strings{"pipe", "ivan@example.bg", kCert}));
    EXPECT_EQ(record.firstInputLine, "DIR:" + vatDir_);
    // Nine arguments after the program: the certificate is the last.
    EXPECT_TRUE(logged("TavoVatUploader pipe ivan@example.bg " + kCert + "\n")) << log();

    for (const char* text : {"10%", "100%", "Подписване с електронен подпис…", "Успешно подадено."})
        EXPECT_TRUE(progress.has(text)) << text;
    // Progress lines stay out of the transcript; the rest is there, each with a line feed.
    EXPECT_EQ(result.output.find("Прогрес"), std::string::npos);
    for (const char* line : {"Информация за подаването\n", "java: диагностика\n", "SUCCESS: вх. № 1234\n",
                             "SIGN:0JTQtdC60LvQsNGA0LDRhtC40Y8g0L/QviDQl9CU0JTQoSDQt9CwINC80LDQuQ==\n"})
        EXPECT_NE(result.output.find(line), std::string::npos) << line;
}

TEST_F(StampItBridgeRun, SubmissionOutcomes) {
    Card card;
    struct Case {
        const char* name;
        Strings scenario;
        std::string cert;
        std::string iban;
        bool success;
        std::string message;
        Strings nativeErrors;
        Strings args;
    };
    const std::string iban = "BG80BNBG96611020345678";
    for (const Case& c : {
             Case{"SUCCESS and exit 1",
                  {"sign a", "out SUCCESS", "exit 1"},
                  kCert,
                  iban,
                  false,
                  "Процесът завърши с код 1",
                  {},
                  {"pipe", "e@x.bg", kCert, iban}},
             Case{"exit 0 with an agency error",
                  {"out NATIVE_ERROR:  Невалиден ЕИК ", "out SUCCESS", "exit 0"},
                  kCert,
                  "",
                  false,
                  "Невалиден ЕИК",
                  {"Невалиден ЕИК"},
                  {"pipe", "e@x.bg", kCert}},
             Case{"two errors: the second",
                  {"out ERROR: първа", "out NATIVE_ERROR:x", "out ERROR: втора", "exit 2"},
                  kCert,
                  "",
                  false,
                  "втора",
                  {"x"},
                  {"pipe", "e@x.bg", kCert}},
             Case{"an agency error without words",
                  {"out NATIVE_ERROR:", "exit 0"},
                  kCert,
                  "",
                  false,
                  tavo::stampit::bridge_lines::kNativeErrorWithoutText,
                  {tavo::stampit::bridge_lines::kNativeErrorWithoutText},
                  {"pipe", "e@x.bg", kCert}},
             Case{"no recipient certificate: no child",
                  {"exit 0"},
                  "",
                  "",
                  false,
                  "Липсва NAP encryption cert (base64). Попълни features/vat/NraEncryptionCert "
                  "kNraEncryptionCertBase64.",
                  {},
                  {}},
         }) {
        SCOPED_TRACE(c.name);
        StampItBridge bridge;
        WrapperScenario wrapper(c.scenario);
        ProgressLog progress;
        auto result =
            bridge.submit(vatDir_, card.signer, card.key.certificateId, "e@x.bg", c.cert, c.iban, progress.callback());
        EXPECT_EQ(result.success, c.success);
        EXPECT_EQ(result.errorMessage, c.message);
        EXPECT_EQ(result.nativeErrors, c.nativeErrors);
        auto record = wrapper.record();
        EXPECT_EQ(record.args, c.args);
        for (const auto& x : record.exchanges) {
            auto verdict = tavo::test::verifyDetachedCms(b64::decode(x.reply.substr(10)),
                                                         tavo::stampit::bridge_lines::b64Decode(x.askedBase64));
            EXPECT_TRUE(verdict.verified) << verdict.output;
        }
        if (!c.nativeErrors.empty()) {
            EXPECT_TRUE(progress.has("Грешка от НАП: " + c.nativeErrors[0]));
        }
    }
}

// A wrapper that floods a line or stops reading its replies is stopped, and
// the user gets the usual failure; the signer is not asked again once no
// reply can reach the wrapper.
TEST_F(StampItBridgeRun, HostileWrappersAreStopped) {
    Card card;
    StampItBridge bridge;
    ASSERT_TRUE(bridge.ensureInstalled({}));
    tavo::stampit::PipeRunner::Limits limits;
    limits.maxLineBytes = 64 * 1024;
    limits.writeStall = std::chrono::milliseconds(300);
    bridge.setRunnerLimits(limits);
    struct Case {
        const char* name;
        Strings scenario;
        std::string logged;
    };
    for (const Case& c : {
             Case{"a line without end", {"out начало", "outbytes 1000000", "sleep 600000"}, "longer than 65536 bytes"},
             Case{"replies never read", {"signnoread 300", "sleep 600000"}, "read nothing of its input for 300 ms"},
         }) {
        SCOPED_TRACE(c.name);
        WrapperScenario wrapper(c.scenario);
        auto result = bridge.submit(vatDir_, card.signer, card.key.certificateId, "e@x.bg", kCert, "", {});
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.errorMessage, "Процесът завърши с код -1");
        EXPECT_TRUE(logged(c.logged)) << log();
    }
    {
        SCOPED_TRACE("validation of a line without end keeps what came before it");
        WrapperScenario wrapper({"out начало", "outbytes 1000000", "sleep 600000"});
        EXPECT_EQ(bridge.validate(vatDir_, {}), Strings{"начало"});
    }
}

// Once the wrapper has filed, a caller's callback that fails changes nothing.
TEST_F(StampItBridgeRun, AcceptedSubmissionStaysAcceptedWhateverTheCallbacksDo) {
    Card card;
    StampItBridge bridge;
    ASSERT_TRUE(bridge.ensureInstalled({}));
    WrapperScenario wrapper({"sign a", "err Качване Прогрес: 100%", "out SUCCESS: вх. № 77", "exit 0"});
    std::atomic<int> calls{0};  // progress comes from both of the run's threads
    auto result =
        bridge.submit(vatDir_, card.signer, card.key.certificateId, "e@x.bg", kCert, "", [&](const std::string& text) {
            ++calls;
            if (text == "Успешно подадено.") throw std::runtime_error("window closed");
            throw 42;
        });
    EXPECT_TRUE(result.success) << result.errorMessage;
    EXPECT_EQ(result.errorMessage, "");
    EXPECT_NE(result.output.find("SUCCESS: вх. № 77\n"), std::string::npos);
    EXPECT_GE(calls, 3);
    EXPECT_TRUE(logged("progress callback threw: window closed"));
    expectEverySignatureVerifies(wrapper.record(), 1);
}

TEST_F(StampItBridgeRun, ValidationKeepsABoundedNumberOfLines) {
    StampItBridge bridge;
    WrapperScenario wrapper({"outmany 3000 Грешка", "exit 1"});
    auto errors = bridge.validate(vatDir_, {});
    ASSERT_EQ(errors.size(), 1000u);
    EXPECT_EQ(errors.front(), "Грешка 1");
    EXPECT_EQ(errors.back(), "Грешка 1000");
    EXPECT_TRUE(logged("stdout_lines=3000 "));
}

// A signer that refuses its first request the way a user's cancel does, then
// signs through the real one.
class CancelsFirst : public tavo::signing::ISigner {
public:
    explicit CancelsFirst(ISigner& real) : real_(real) {}
    std::vector<tavo::signing::CertificateInfo> listCertificates() override { return real_.listCertificates(); }
    std::vector<uint8_t> signData(const std::vector<uint8_t>& data, const std::string& id,
                                  const std::string& pin) override {
        if (calls_++ == 0) throw tavo::signing::SigningCancelledException();
        return real_.signData(data, id, pin);
    }
    bool warmUp(const std::string& id, const std::string& pin) override { return real_.warmUp(id, pin); }
    std::vector<uint8_t> getCertificateDer(const std::string& id) override { return real_.getCertificateDer(id); }

private:
    ISigner& real_;
    int calls_ = 0;
};

// A signer with no card inserted: nothing listed, nothing to sign with.
class NoCard : public tavo::signing::ISigner {
public:
    std::vector<tavo::signing::CertificateInfo> listCertificates() override { return {}; }
    std::vector<uint8_t> signData(const std::vector<uint8_t>&, const std::string&, const std::string&) override {
        ADD_FAILURE() << "signData without a certificate id";
        return {};
    }
    bool warmUp(const std::string&, const std::string&) override { return false; }
    std::vector<uint8_t> getCertificateDer(const std::string&) override { return {}; }
};

TEST_F(StampItBridgeRun, SigningFailuresAreAnsweredOnThePipe) {
    Card card;
    StampItBridge bridge;
    ASSERT_TRUE(bridge.ensureInstalled({}));
    {
        SCOPED_TRACE("cancelled, then signed: not filed, whatever the wrapper says");
        CancelsFirst signer(card.signer);
        WrapperScenario wrapper(
            {"sign първа", "signraw aGVsbG8=garbage", "signraw  aGVsbG8=", "out SUCCESS", "exit 0"});
        auto result = bridge.submit(vatDir_, signer, card.key.certificateId, "e@x.bg", kCert, "",
                                    [](const std::string&) { throw std::runtime_error("UI gone"); });
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.errorMessage, tavo::stampit::bridge_lines::kSigningFailed);
        auto record = wrapper.record();
        ASSERT_EQ(record.exchanges.size(), 3u);
        EXPECT_EQ(record.exchanges[0].reply, "SIGNATURE:");
        for (size_t i : {1u, 2u}) {
            const std::string expectedData = i == 1 ? "hello" : "";
            const std::vector<uint8_t> data(expectedData.begin(), expectedData.end());
            auto verdict = tavo::test::verifyDetachedCms(b64::decode(record.exchanges[i].reply.substr(10)), data);
            EXPECT_TRUE(verdict.verified) << i << verdict.output;
        }
        EXPECT_TRUE(logged("StampIT signer.signData: Подписването беше отказано."));
        EXPECT_TRUE(logged("progress callback threw: UI gone"));
    }
    {
        SCOPED_TRACE("no certificate id and a signer without certificates");
        NoCard emptySigner;
        WrapperScenario wrapper({"sign a", "out SUCCESS", "exit 0"});
        auto result = bridge.submit(vatDir_, emptySigner, "", "e@x.bg", kCert, "", {});
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.errorMessage, tavo::stampit::bridge_lines::kSigningFailed);
        auto record = wrapper.record();
        ASSERT_EQ(record.exchanges.size(), 1u);
        EXPECT_EQ(record.exchanges[0].reply, "SIGNATURE:");
    }
    {
        SCOPED_TRACE("no certificate id: the signer's first certificate");
        WrapperScenario wrapper({"sign a", "exit 0"});
        auto result = bridge.submit(vatDir_, card.signer, "", "e@x.bg", kCert, "", {});
        EXPECT_TRUE(result.success) << result.errorMessage;
        expectEverySignatureVerifies(wrapper.record(), 1);
        EXPECT_TRUE(logged("StampIT submit: signerCertId empty — falling back to first enumerated cert (" +
                           card.key.certificateId + ")"));
    }
}

// A wrapper that closed its input cannot read a reply: that request and every
// one after it are unanswered, and its SUCCESS does not make a filing.
TEST_F(StampItBridgeRun, RepliesThatNeverArriveFailTheFiling) {
    Card card;
    StampItBridge bridge;
    ASSERT_TRUE(bridge.ensureInstalled({}));
    WrapperScenario wrapper({"closein", "sign a", "sign b", "sign c", "out SUCCESS", "exit 0"});
    auto result = bridge.submit(vatDir_, card.signer, card.key.certificateId, "e@x.bg", kCert, "", {});
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.errorMessage, tavo::stampit::bridge_lines::kSigningFailed);
}

// A talkative wrapper: what the bridge keeps, returns and logs of it is
// capped in bytes, whatever the number and size of its lines, and its
// control bytes never reach the log raw.
TEST_F(StampItBridgeRun, TalkativeWrapperIsKeptAndLoggedWithinBounds) {
    Card card;
    StampItBridge bridge;
    ASSERT_TRUE(bridge.ensureInstalled({}));
    const std::uint64_t peakBefore = tavo::test::peakRssBytes();
    {
        SCOPED_TRACE("validation: 40 lines of 4 MiB");
        WrapperScenario wrapper({"out \x1b[2J forged", "flood out 40 4194304", "flood err 40 4194304", "exit 1"});
        EXPECT_EQ(bridge.validate(vatDir_, {}), Strings{"\x1b[2J forged"});
        EXPECT_TRUE(logged("  [stdout] \\x1B[2J forged\n")) << log().substr(0, 4096);
        EXPECT_TRUE(logged("StampIT validate: the log holds only part of the wrapper's output: 80 line(s) left out"));
    }
    {
        SCOPED_TRACE("submission: 100 MB of output and 5000 agency errors");
        WrapperScenario wrapper({"flood out 200 500000", "outmany 5000 NATIVE_ERROR: грешка", "exit 0"});
        auto result = bridge.submit(vatDir_, card.signer, card.key.certificateId, "e@x.bg", kCert, "", {});
        EXPECT_EQ(result.errorMessage, "грешка 1");
        ASSERT_EQ(result.nativeErrors.size(), tavo::stampit::bridge_lines::kMaxNativeErrors + 1);
        EXPECT_EQ(result.nativeErrors.back(), "Още 4900 грешки от НАП не са показани.");
        EXPECT_LE(result.output.size(), size_t{1} << 20);
    }
    // A run logs at most 256 KiB of the wrapper's text. The validation run's
    // lines are all past what is kept; the submission's fill its budget, which
    // with the lines' stamps and the bridge's own lines stays under 320 KiB
    // (the whole submission would log some 750 KiB).
    EXPECT_LT(std::filesystem::file_size(logDir_ / "test.log"), std::uintmax_t{320} << 10);
    if (tavo::test::kResidentMemoryIsMeaningful) {
        EXPECT_LT(tavo::test::peakRssBytes() - peakBefore, std::uint64_t{128} << 20);
    }
}

}  // namespace
