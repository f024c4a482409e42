#include "TavoEngine.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "EngineTestOperations.h"
#include "InMemorySettingsProvider.h"
#include "common/Logger.h"
#include "common/Utf8.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "operations/OperationRegistry.h"
#include "support/FaultModule.h"
#include "support/LogCapture.h"
#include "support/PlsFormStandIn.h"
#include "support/PlsTestSubmission.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

using namespace tavo::core;
using nlohmann::json;
using tavo::test::FaultModule;
using tavo::test::PlsTestSubmission;
using tavo::test::PortalStandIn;
using tavo::test::Reply;
using tavo::test::SoftHsmToken;

namespace {

Sender makeSender(const std::string& id, const std::string& certificateId) {
    Sender s;
    s.id = id;
    s.displayName = "Фирма " + id;
    s.identity.identifier = "123456789";
    s.identity.identifierType = domain::NapIdentifierType::BUS_BULSTAT;
    s.identity.certificateId = certificateId;
    return s;
}

struct Progress {
    std::vector<std::pair<int, std::string>> calls;
    TavoEngine::Progress callback() {
        return [this](int p, const std::string& t) { calls.emplace_back(p, t); };
    }
};

std::unique_ptr<TavoEngine> engineWith(std::vector<Sender> senders = {}, std::string active = {}) {
    return std::make_unique<TavoEngine>(
        std::make_unique<InMemorySettingsProvider>(std::move(senders), std::move(active)));
}

// The real settings, counting the listeners registered at any moment.
struct CountingSettings : InMemorySettingsProvider {
    using InMemorySettingsProvider::InMemorySettingsProvider;
    ListenerId onChanged(std::function<void()> listener) override {
        ++live;
        return InMemorySettingsProvider::onChanged(std::move(listener));
    }
    void removeListener(ListenerId id) override {
        --live;
        InMemorySettingsProvider::removeListener(id);
    }
    int live = 0;
};

size_t certificateLogins(const PortalStandIn& portal) {
    auto all = portal.journal().all();
    return static_cast<size_t>(std::count_if(
        all.begin(), all.end(), [](const tavo::test::RecordedRequest& r) { return r.path == "/auth/login/qes"; }));
}

enum class Fault { None, ListingThrows, NoResultsLink, ResultsLinkThrows };

// The portal-form declaration of the stand-in, failing after the upload in
// the way a test asks for.
class FailingAfterUpload : public PlsTestSubmission {
public:
    FailingAfterUpload(std::string typeId, Fault fault) : PlsTestSubmission(std::move(typeId)), fault_(fault) {}

    std::optional<domain::NapServiceLink> findResultsLink(const domain::NapService& service) const override {
        if (fault_ == Fault::NoResultsLink) return std::nullopt;
        if (fault_ == Fault::ResultsLinkThrows) throw std::runtime_error("catalogue entry without a results link");
        return PlsTestSubmission::findResultsLink(service);
    }
    operations::InquiryResult fetchResults(domain::NapSession& session,
                                           const operations::ResultsFilter& filter) override {
        if (fault_ == Fault::ListingThrows) throw std::runtime_error("listing page cut short");
        return PlsTestSubmission::fetchResults(session, filter);
    }

private:
    Fault fault_;
};

}  // namespace

TEST(TavoEngine, BeforeInitialiseOnlyTestModeWorks) {
    auto engine = engineWith();
    Progress progress;
    ExecuteResult r = engine->executeOperation(engine_test::kEcho, "{}", std::nullopt, progress.callback());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "TavoEngine not initialised");
    EXPECT_TRUE(progress.calls.empty());
    EXPECT_FALSE(engine->login());
    EXPECT_EQ(engine->lastError(), "");

    ExecuteResult t = engine->executeOperationTest(engine_test::kStatusError, "");
    EXPECT_TRUE(t.ok) << t.error;
    EXPECT_EQ(json::parse(t.payload), json::parse(R"({"error":"demo-0","status":"ok"})"));
    ExecuteResult f = engine->executeOperationTest(engine_test::kFailedSubmission, "");
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(json::parse(f.payload)["incomeNumber"], "TEST-202601-12345");
    EXPECT_EQ(engine->executeOperationTest("nope", "").error, "Unknown operation: nope");
    EXPECT_EQ(engine->executeOperationTest(engine_test::kEcho, "{").error.rfind("Invalid params JSON: ", 0), 0u);
}

TEST(TavoEngine, ParametersAndOutcomes) {
    auto engine = engineWith();
    engine->initialize();

    ExecuteResult echo =
        engine->executeOperation(engine_test::kEcho, R"({"year":2024,"eik":"123456789","flag":true,"x":null})");
    ASSERT_TRUE(echo.ok) << echo.error;
    EXPECT_EQ(json::parse(echo.payload)["metadata"],
              json::parse(R"({"eik":"123456789","flag":"true","year":"2024.000000"})"));

    for (const char* params : {"", "[1,2]"}) {
        ExecuteResult none = engine->executeOperation(engine_test::kEcho, params);
        EXPECT_TRUE(none.ok);
        EXPECT_EQ(none.error, "");
        EXPECT_EQ(json::parse(none.payload)["metadata"], json::object());
    }
    EXPECT_EQ(engine->executeOperation(engine_test::kEcho, "{'a':1}").error.rfind("Invalid params JSON: ", 0), 0u);

    ExecuteResult status = engine->executeOperation(engine_test::kStatusError, "{}");
    EXPECT_TRUE(status.ok);
    EXPECT_EQ(json::parse(status.payload)["status"], "error");

    Progress progress;
    ExecuteResult failed =
        engine->executeOperation(engine_test::kFailedSubmission, "{}", std::nullopt, progress.callback());
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, "Отказано от агенцията");
    EXPECT_EQ(json::parse(failed.payload)["nativeErrors"], json::array({"E1"}));
    EXPECT_EQ(progress.calls, (std::vector<std::pair<int, std::string>>{{0, "starting"}, {100, "failed"}}));

    Progress noFile;
    ExecuteResult needs = engine->executeOperation(engine_test::kNeedsFile, "{}", std::nullopt, noFile.callback());
    EXPECT_FALSE(needs.ok);
    EXPECT_EQ(needs.error, "Submission requires a file path");
    EXPECT_EQ(needs.payload, "");
    EXPECT_EQ(noFile.calls, (std::vector<std::pair<int, std::string>>{{0, "starting"}}));

    Progress withFile;
    ExecuteResult empty = engine->executeOperation(engine_test::kNeedsFile, "{}", std::string(), withFile.callback());
    EXPECT_TRUE(empty.ok);  // an empty path counts as a path
    EXPECT_EQ(withFile.calls.back(), (std::pair<int, std::string>{100, "done"}));

    ExecuteResult threw = engine->executeOperation(engine_test::kThrows, "{}");
    EXPECT_FALSE(threw.ok);
    EXPECT_EQ(threw.error, "Operation threw: boom");

    EXPECT_EQ(engine->executeOperation("nope", "{}").error, "Unknown operation: nope");
}

// An accepted filing whose number is not UTF-8 is still reported, readable.
TEST(TavoEngine, InvalidUtf8NeverLosesAnAcceptedFiling) {
    auto engine = engineWith();
    engine->initialize();
    ExecuteResult r = engine->executeOperation(engine_test::kBadUtf8, "{}");
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.error, "");
    ASSERT_TRUE(tavo::core::common::utf8::isValid(r.payload));
    json payload = json::parse(r.payload);
    EXPECT_EQ(payload["success"], true);
    EXPECT_EQ(payload["incomeNumber"], "\xEF\xBF\xBD\xEF\xBF\xBD-2024-1");
}

TEST(TavoEngine, SenderChecksComeBeforeTheOperation) {
    auto engine =
        engineWith({makeSender("s-000000000001", "1:01"), makeSender("s-000000000002", "1:02")}, "s-000000000001");
    engine->initialize();
    int before = engine_test::created.load();
    ExecuteResult unknown = engine->executeOperation(engine_test::kEcho, "{}", std::nullopt, nullptr, "s-ffffffffffff");
    EXPECT_EQ(unknown.error, "Unknown senderId: s-ffffffffffff");
    EXPECT_EQ(engine_test::created.load(), before);
    EXPECT_EQ(engine->settings().activeSenderId(), "s-000000000001");

    int notified = 0;
    engine->settings().onChanged([&] { ++notified; });
    EXPECT_TRUE(engine->executeOperation(engine_test::kEcho, "{}", std::nullopt, nullptr, "s-000000000001").ok);
    EXPECT_EQ(notified, 0);
    EXPECT_TRUE(engine->executeOperation(engine_test::kEcho, "{}", std::nullopt, nullptr, "s-000000000002").ok);
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(engine->settings().activeSenderId(), "s-000000000002");
}

TEST(TavoEngine, ListsRegisteredOperations) {
    auto engine = engineWith();
    auto ops = engine->listOperations();
    ASSERT_FALSE(ops.empty());
    for (size_t i = 1; i < ops.size(); ++i) EXPECT_LT(ops[i - 1].typeId, ops[i].typeId);
    auto failed = engine->findOperation(engine_test::kFailedSubmission);
    ASSERT_TRUE(failed);
    EXPECT_TRUE(failed->isSubmission);
    EXPECT_TRUE(failed->requiresEik);
    auto result = engine->findOperation(engine_test::kResult);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->isSubmission);
    EXPECT_EQ(result->category, "Справки");
    EXPECT_FALSE(engine->findOperation("ENGINE_ECHO"));
}

// A sender switch gives the session the other card's certificate: the
// portal's login host sees it on the very next login.
TEST(TavoEngine, SenderSwitchReachesTheLoginHost) {
    tavo::test::SoftHsmToken token;
    auto first = token.addRsaKey("0A01", "Първи Подписващ");
    auto second = token.addRsaKey("0A02", "Втори Подписващ");
    tavo::test::ScopedEnv module("TAVO_PKCS11_MODULE", tavo::test::SoftHsmToken::modulePath().c_str());
    tavo::test::PortalStandIn portal;
    auto engine = engineWith(
        {makeSender("s-000000000001", first.certificateId), makeSender("s-000000000002", second.certificateId)},
        "s-000000000001");
    engine->initialize();
    engine->setPin(token.userPin());
    // As the agent does: on a sender change it hands over the PIN stored for
    // the new sender's card (this listener runs after the engine's).
    engine->settings().onChanged([&] { engine->setPin(token.userPin()); });

    ExecuteResult one = engine->executeOperation(engine_test::kLogin, "{}");
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(json::parse(one.payload)["metadata"]["status"], "ok") << one.payload;
    EXPECT_EQ(portal.loginHost().journal().clientSubjectOn("/auth/login/qes"), first.cert.subject);

    ExecuteResult two = engine->executeOperation(engine_test::kLogin, "{}", std::nullopt, nullptr, "s-000000000002");
    ASSERT_TRUE(two.ok);
    EXPECT_EQ(json::parse(two.payload)["metadata"]["status"], "ok") << two.payload;
    EXPECT_EQ(portal.loginHost().journal().clientSubjectOn("/auth/login/qes"), second.cert.subject);
    engine->shutdown();
    EXPECT_FALSE(engine->isAuthenticated());
}

TEST(TavoEngine, ResultInquiryKeepsTheRawAnswer) {
    tavo::test::SoftHsmToken token;
    auto key = token.addRsaKey("0B01", "Резултат Подписващ");
    tavo::test::ScopedEnv module("TAVO_PKCS11_MODULE", tavo::test::SoftHsmToken::modulePath().c_str());
    tavo::test::PortalStandIn portal;
    portal.portal().on("GET", "/pls/pub/DECL55.WEB.showResult", [](const tavo::test::RecordedRequest& r) {
        // 204 carries no body, so nothing adds a content type to it.
        if (r.query == "pid=78") return tavo::test::Reply::text("", 204, "");
        if (r.query == "pid=80")
            return tavo::test::PlsFormStandIn::windows1251Page("<html><p>Обработен</p></html>",
                                                               "text/html; charset=windows-1251");
        return tavo::test::Reply::text("<html>Няма такъв документ</html>", 404);
    });
    auto engine = engineWith({makeSender("s-000000000001", key.certificateId)}, "s-000000000001");
    engine->initialize();
    engine->setPin(token.userPin());

    ExecuteResult noParams = engine->executeOperation(engine_test::kResult, "{}");
    ASSERT_TRUE(noParams.ok);
    EXPECT_EQ(json::parse(noParams.payload)["error"], "documentId е задължителен");
    ExecuteResult noEik = engine->executeOperation(engine_test::kResult, R"({"documentId":"77"})");
    EXPECT_EQ(json::parse(noEik.payload)["error"], "eik е задължителен");

    ExecuteResult r = engine->executeOperation(engine_test::kResult, R"({"documentId":"77&x=1","eik":"123456789"})");
    ASSERT_TRUE(r.ok) << r.error;
    json payload = json::parse(r.payload);
    const std::string url = "https://portal.nra.bg/pls/pub/DECL55.WEB.showResult?pid=77%26x%3D1";
    EXPECT_EQ(payload["status"], "error");
    EXPECT_EQ(payload["error"], "HTTP 404 от " + url);
    EXPECT_EQ(payload["rawBody"], "<html>Няма такъв документ</html>");
    EXPECT_EQ(payload["rawBodyUrl"], url);
    EXPECT_EQ(payload["rawBodyContentType"], "text/html; charset=utf-8");

    auto result = [&](const std::string& pid) {
        return json::parse(
            engine->executeOperation(engine_test::kResult, R"({"documentId":")" + pid + R"(","eik":"123456789"})")
                .payload);
    };
    // An empty answer is no result: a lapsed session's, as on the listing.
    EXPECT_EQ(result("78")["error"],
              "Порталът не върна резултата за документа, а друга страница (напр. за вход): сесията може да е "
              "изтекла. Опитайте отново.");
    // The legacy charset reaches the payload as UTF-8, and says so.
    const json legacy = result("80");
    EXPECT_EQ(legacy["rawBody"], "<html><p>Обработен</p></html>");
    EXPECT_EQ(legacy["rawBodyContentType"], "text/html; charset=utf-8");
    auto seen = portal.portal().journal().lastOn("/pls/pub/DECL55.WEB.showResult");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->query, "pid=80");
}

TEST(TavoEngine, OneSettingsListenerPerInitialisation) {
    auto owned = std::make_unique<CountingSettings>(
        std::vector<Sender>{makeSender("s-000000000001", "1:01"), makeSender("s-000000000002", "1:02")},
        "s-000000000001");
    CountingSettings& settings = *owned;
    TavoEngine engine(std::move(owned));
    for (int cycle = 0; cycle < 5; ++cycle) {
        SCOPED_TRACE(cycle);
        engine.initialize();
        engine.initialize();  // already initialised: nothing more
        EXPECT_EQ(settings.live, 1);
        // The one listener still follows the settings.
        const std::string next = cycle % 2 ? "s-000000000001" : "s-000000000002";
        settings.setActiveSenderId(next);
        ExecuteResult r = engine.executeOperation(engine_test::kEcho, "{}");
        EXPECT_TRUE(r.ok);
        engine.shutdown();
        engine.shutdown();  // already shut down: nothing more
        EXPECT_EQ(settings.live, 0);
    }
}

// Calls on the engine from inside a running filing, from its progress callback
// or from the operation itself: none may free its session or make it finish
// as another sender. A sender the settings name meanwhile comes next.
TEST(TavoEngine, ReentranceNeverPullsTheSessionFromARunningFiling) {
    const Sender a = makeSender("s-00000000000a", "1:0A"), b = makeSender("s-00000000000b", "1:0B");
    struct Case {
        const char* name;
        std::function<void(TavoEngine&, std::string& nestedError)> call;
        const char* expected;  // the nested call's error or a line of the log
        const char* nextCertificate;
    };
    const Case cases[] = {
        {"shutdown, initialize", [](TavoEngine& e, std::string&) { e.shutdown(), e.initialize(); }, "shutdown refused",
         "1:0A"},
        {"settings switch", [&](TavoEngine& e, std::string&) { e.settings().setActiveSenderId(b.id); },
         "takes it when the operation ends", "1:0B"},
        {"nested call for another sender",
         [&](TavoEngine& e, std::string& error) {
             error = e.executeOperation(engine_test::kEcho, "{}", std::nullopt, nullptr, b.id).error;
         },
         "Sender switch refused: an operation for another sender is running on this thread", "1:0A"},
    };
    for (bool fromProgress : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (fromProgress ? " from the progress callback" : " inside the filing"));
            tavo::test::LogCapture log;
            TavoEngine engine(std::make_unique<InMemorySettingsProvider>(std::vector<Sender>{a, b}, a.id));
            engine.initialize();
            std::string nestedError;
            const std::function<void()> call = [&] { c.call(engine, nestedError); };
            if (!fromProgress) engine_test::midway = call;
            auto progress = [&](int percent, const std::string&) {
                if (fromProgress && percent == 0) call();
            };
            ExecuteResult r = engine.executeOperation(engine_test::kReenter, "{}", std::nullopt, progress, a.id);
            engine_test::midway = nullptr;
            ASSERT_TRUE(r.ok) << r.error;
            EXPECT_EQ(json::parse(r.payload)["incomeNumber"], "1:0A");
            EXPECT_TRUE(nestedError == c.expected || log.contains(c.expected)) << nestedError << log.text();
            ExecuteResult next = engine.executeOperation(engine_test::kReenter, "{}");
            ASSERT_TRUE(next.ok) << next.error;
            EXPECT_EQ(json::parse(next.payload)["documentId"], c.nextCertificate);
        }
    }
}

// Texts from outside (an operation's refusal, what a fixture throws, the
// parser's message: one per way out of the engine) reach the caller as valid
// UTF-8 without NUL bytes, and the log escaped.
TEST(TavoEngine, ErrorsAreValidUtf8AndLoggedEscaped) {
    tavo::test::LogCapture log;
    auto engine = engineWith();
    engine->initialize();
    const ExecuteResult results[] = {
        engine->executeOperation(engine_test::kDirtyTexts, "{}"),
        engine->executeOperationTest(engine_test::kDirtyTexts, "{}"),
        engine->executeOperationTest(engine_test::kEcho, "{\"a\":\"\xC0\"}"),
    };
    for (const ExecuteResult& r : results) {
        EXPECT_TRUE(!r.error.empty() && tavo::core::common::utf8::isValid(r.error) &&
                    r.error.find('\0') == std::string::npos)
            << tavo::core::common::utf8::escapeForLog(r.error);
    }
    EXPECT_EQ(results[0].error.rfind("Отказ ", 0), 0u);
    EXPECT_TRUE(log.contains("testFixture threw: fixture")) << log.text();  // logged, so the next line bites
    EXPECT_FALSE(tavo::test::hasLineStartingWith(log.text(), "INFO forged")) << log.text();
}

// Two cards in one reader, each with its own PIN, both behind the module that
// counts logins: a PIN reaches only the card it was given for (one handed
// over for a sender change that waits on a running login goes with that
// change), and a sender whose card has no PIN yet is told so without the card
// being tried.
TEST(CardPin, APinReachesOnlyTheCardItWasGivenFor) {
    SoftHsmToken cardA("CardA", "1111");
    SoftHsmToken cardB(cardA, "CardB", "2222");
    const auto keyA = cardA.addRsaKey("0A01", "Подписващ А");
    const auto keyB = cardB.addRsaKey("0B01", "Подписващ Б");
    ASSERT_NE(cardA.slotId(), cardB.slotId());
    FaultModule fault;
    tavo::test::ScopedEnv module("TAVO_PKCS11_MODULE", FaultModule::path().c_str());
    PortalStandIn portal;
    tavo::test::LogCapture log;

    const std::string a = "s-00000000000a", b = "s-00000000000b";
    TavoEngine engine(std::make_unique<InMemorySettingsProvider>(
        std::vector<Sender>{makeSender(a, keyA.certificateId), makeSender(b, keyB.certificateId)}, b));
    engine.initialize();
    // As the agent does: a sender change hands over that sender's stored PIN.
    std::string handOver;
    engine.settings().onChanged([&] {
        if (!handOver.empty()) engine.setPin(handOver);
    });

    const std::string needsPinA =
        "Необходим е PIN код: не е зададен PIN за картата на сертификат " + keyA.certificateId + ".";
    struct Step {
        const char* name;
        std::string pin;     // handed to the engine before the call; empty: none
        std::string sender;  // named in the call; empty: the active one
        std::string error;   // empty: logged in with this step's card
        const SoftHsmToken::Key* card;
        bool refusedByCard;  // the card saw a PIN and refused it
        // The settings switch to this sender while the call runs, and the
        // listener hands over its PIN; empty: no switch.
        std::string switchTo = {}, switchPin = {};
    };
    const std::vector<Step> steps = {
        // The counterpart first: a PIN the card refuses is counted, so the
        // zero increments below mean no card saw a PIN that was not its own.
        {"B with a mistyped PIN", "9999", "", "", nullptr, true},
        {"A: B's PIN stays behind", "", a, needsPinA, nullptr, false},
        // The switch to B waits for the running login, and so does B's PIN:
        // A's card, not yet logged in, sees only its own.
        {"A with its PIN while the settings switch to B", "1111", "", "", &keyA, false, b, "2222"},
        {"B next, with the PIN handed over", "", "", "", &keyB, false},
        // B's PIN never reaches A's card, named or active.
        {"A named, without a PIN", "", a, needsPinA, nullptr, false},
        {"A active, without a PIN", "", "", needsPinA, nullptr, false},
        {"A with its PIN", "1111", "", "", &keyA, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        const unsigned long loginsBefore = fault.count("C_Login");
        const unsigned long refusedBefore = fault.count("pinRefusals");
        const size_t certificateLoginsBefore = certificateLogins(portal);
        if (!step.pin.empty()) engine.setPin(step.pin);
        if (!step.switchTo.empty())
            engine_test::midway = [&] {
                handOver = step.switchPin;
                engine.settings().setActiveSenderId(step.switchTo);
                handOver.clear();
            };
        ExecuteResult r = engine.executeOperation(engine_test::kLogin, "{}", std::nullopt, nullptr, step.sender);
        engine_test::midway = nullptr;
        ASSERT_TRUE(r.ok) << r.error;
        json metadata = json::parse(r.payload)["metadata"];
        if (step.refusedByCard) {
            EXPECT_EQ(metadata["status"], "error");
            EXPECT_GT(fault.count("pinRefusals"), refusedBefore);
            continue;
        }
        EXPECT_EQ(fault.count("pinRefusals"), refusedBefore);
        if (step.card) {
            EXPECT_EQ(metadata["status"], "ok") << metadata;
            EXPECT_EQ(portal.loginHost().journal().clientSubjectOn("/auth/login/qes"), step.card->cert.subject);
        } else {
            EXPECT_EQ(metadata["status"], "error");
            EXPECT_EQ(metadata["error"], step.error);
            // Neither a card nor the login host was tried.
            EXPECT_EQ(fault.count("C_Login"), loginsBefore);
            EXPECT_EQ(certificateLogins(portal), certificateLoginsBefore);
        }
    }
    EXPECT_TRUE(log.contains("NapSession::login: " + needsPinA));
}

// A result inquiry whose portal preparation fails: the user gets the reason in
// the payload, the log gets one WARN line, and no result page is fetched.
TEST(ResultInquiry, PreparationFailuresReachThePayloadAndOneLogLine) {
    tavo::test::PortalCard card;
    PortalStandIn portal;
    const std::string forged = "2020-01-01 00:00:00 [INFO ] LoginFlow: QES login succeeded";
    auto taxpayers = PortalStandIn::defaultTaxpayers();
    taxpayers.push_back({"Фирма с нов ред", "555\n" + forged, "EIK", 4100000009, "TP-4100000009"});
    portal.setTaxpayers(taxpayers);
    Sender sender{"s-0123456789ab", "Тест Трейд ООД", card.identity()};
    TavoEngine engine(std::make_unique<InMemorySettingsProvider>(std::vector<Sender>{sender}, sender.id));
    engine.initialize();
    engine.setPin(card.pin());

    // The select fails for a taxpayer of the list; one not in it is never selected.
    portal.setSelectReply(Reply::text("down", 503));
    const std::string notFound =
        "Фирма с избрания ЕИК не е намерена в списъка на задължените лица (налични задължени лица: 4)";
    struct Case {
        std::string eik;
        std::string error;   // in the payload, as the user sees it
        std::string logged;  // after "portal prep failed: "
    };
    for (const Case& c :
         {Case{"111111111", notFound, notFound},
          Case{"555\n" + forged, "Неуспешен избор на ЗЛ 555\n" + forged, "Неуспешен избор на ЗЛ 555\\x0A" + forged}}) {
        SCOPED_TRACE(c.eik);
        json params = {{"documentId", "77"}, {"eik", c.eik}};
        ExecuteResult r = engine.executeOperation(engine_test::kResult, params.dump());
        ASSERT_TRUE(r.ok) << r.error;
        json payload = json::parse(r.payload);
        EXPECT_EQ(payload["status"], "error");
        EXPECT_EQ(payload["error"], c.error);
        EXPECT_EQ(payload["rawBody"], "");
        EXPECT_NE(card.logText().find("[WARN ] SubmissionResultInquiry[" + std::string(engine_test::kResult) +
                                      "]: portal prep failed: " + c.logged),
                  std::string::npos);
    }
    EXPECT_FALSE(portal.portal().journal().lastOn("/pls/pub/DECL55.WEB.showResult"));
    EXPECT_FALSE(tavo::test::hasLineStartingWith(card.logText(), forged));
}

// Once the portal has accepted an upload, the engine reports it filed with its
// document id, whatever fails while the incoming number is looked up, and
// whatever the caller's progress callback throws.
TEST(AcceptedFiling, StaysFiledWhateverFailsAfterTheUpload) {
    tavo::test::PortalCard card;
    tavo::test::PortalStandIn portal;
    tavo::test::PlsFormStandIn forms{portal};
    forms.setRows({{"0100-0042", "04.02.2025 10:00", "2024", "", "", "100001"}});
    tavo::signing::SignerPkcs11 signer{SoftHsmToken::modulePath()};
    tavo::test::TempDir dir{"tavo-accepted"};
    tavo::test::writeFile(dir / "decl.txt", "ред 1\r\nред 2\r\n");

    const std::string accepted = "[ERROR] PlsSubmissionExecutor: upload accepted (document ";
    struct Case {
        const char* typeId;
        Fault fault;
        std::string logLine;
    };
    const Case cases[] = {
        {"test_pls_listing_throws", Fault::ListingThrows,
         accepted + "100001), but looking up its incoming number failed: listing page cut short"},
        // A failure as a value, logged as the session gave it.
        {"test_pls_no_results_link", Fault::NoResultsLink,
         "[WARN ] PlsSubmissionExecutor: results-context prepareFor failed: "},
        {"test_pls_results_link_throws", Fault::ResultsLinkThrows,
         accepted + "100003), but looking up its incoming number failed: catalogue entry without a results link"},
        // The progress callback is the caller's, outside the filing.
        {"test_pls_progress_throws", Fault::None, "progress callback threw: window closed\\x0Aforged line"},
    };
    for (const Case& c : cases) {
        Fault fault = c.fault;
        std::string typeId = c.typeId;
        ASSERT_TRUE(operations::OperationRegistry::instance().registerOperation(
            typeId, [typeId, fault] { return std::make_unique<FailingAfterUpload>(typeId, fault); }));
    }

    Sender sender{"s-0123456789ab", "Тест Трейд ООД", card.identity()};
    TavoEngine engine(std::make_unique<InMemorySettingsProvider>(std::vector<Sender>{sender}, sender.id));
    engine.setSigner(&signer);
    engine.initialize();
    engine.setPin(card.pin());

    size_t uploads = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typeId);
        std::vector<int> seen;
        TavoEngine::Progress throwing = [&seen](int percent, const std::string&) {
            seen.push_back(percent);
            throw std::runtime_error("window closed\nforged line");
        };
        auto result = engine.executeOperation(c.typeId, R"({"eik":"123456789","year":2024})",
                                              (dir / "decl.txt").string(), c.fault == Fault::None ? throwing : nullptr);
        ASSERT_EQ(forms.uploads().size(), ++uploads);
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.error, "");
        auto payload = nlohmann::json::parse(result.payload);
        EXPECT_EQ(payload["success"], true);
        EXPECT_EQ(payload["documentId"], std::to_string(100000 + uploads));
        if (c.fault == Fault::None)
            EXPECT_EQ(seen, (std::vector<int>{0, 100}));
        else
            EXPECT_EQ(payload.value("incomeNumber", ""), "");
        EXPECT_NE(card.logText().find(c.logLine), std::string::npos) << c.logLine;
    }
    EXPECT_EQ(card.logText().find("Operation threw"), std::string::npos);
    engine.shutdown();
}
