#include "TavoEngine.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "EngineTestOperations.h"
#include "InMemorySettingsProvider.h"
#include "common/Logger.h"
#include "common/Utf8.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "support/PortalStandIn.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

using namespace tavo::core;
using nlohmann::json;

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

    ExecuteResult empty = engine->executeOperation(engine_test::kResult, R"({"documentId":"78","eik":"123456789"})");
    json emptyPayload = json::parse(empty.payload);
    EXPECT_EQ(emptyPayload["status"], "ok");
    EXPECT_EQ(emptyPayload["error"], nullptr);
    EXPECT_EQ(emptyPayload["rawBodyContentType"], "text/html; charset=utf-8");

    auto seen = portal.portal().journal().lastOn("/pls/pub/DECL55.WEB.showResult");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->query, "pid=78");
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
