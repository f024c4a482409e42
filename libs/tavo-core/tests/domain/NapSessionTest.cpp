#include "domain/NapSession.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>

#include "common/Base64.h"
#include "domain/PortalAnswers.h"
#include "operations/IPortalHandler.h"
#include "operations/OperationTypes.h"
#include "support/LogCapture.h"
#include "support/Pauses.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"

namespace {

using namespace tavo::core::domain;
using tavo::core::operations::IPortalHandler;
using tavo::core::operations::ParameterValues;
using tavo::test::hasLineStartingWith;
using tavo::test::PortalCard;
using tavo::test::PortalStandIn;
using tavo::test::RecordedRequest;
using tavo::test::Reply;

const char* const kDecl55 = "Декларации по чл. 55";

std::string b64(const std::string& text) {
    return tavo::core::common::base64::encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// The operation's view of the catalogue, counting which link it was asked for.
class Handler : public IPortalHandler {
public:
    explicit Handler(std::string name, bool hasLinks = true) : name_(std::move(name)), hasLinks_(hasLinks) {}
    std::string categoryName() const override { return name_; }
    std::optional<NapServiceLink> findSubmitLinkForYear(const NapService& service, int year) const override {
        ++submitAsks;
        return hasLinks_ ? IPortalHandler::findSubmitLinkForYear(service, year) : std::nullopt;
    }
    std::optional<NapServiceLink> findResultsLink(const NapService& service) const override {
        ++resultsAsks;
        return hasLinks_ ? IPortalHandler::findResultsLink(service) : std::nullopt;
    }
    mutable int submitAsks = 0;
    mutable int resultsAsks = 0;

private:
    std::string name_;
    bool hasLinks_;
};

size_t countOn(const std::vector<RecordedRequest>& requests, const std::string& path) {
    return static_cast<size_t>(
        std::count_if(requests.begin(), requests.end(), [&](const RecordedRequest& r) { return r.path == path; }));
}

size_t countPrefix(const std::vector<RecordedRequest>& requests, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(requests.begin(), requests.end(), [&](const RecordedRequest& r) {
        return r.path.compare(0, prefix.size(), prefix) == 0;
    }));
}

struct SessionTest : ::testing::Test {
    PortalCard card;
    PortalStandIn portal;
    NapSession session;

    void SetUp() override {
        session.setIdentity(card.identity());
        session.setPin(card.pin());
    }
    void loginAndSelect(const std::string& eik = "123456789") {
        ASSERT_TRUE(session.login()) << session.lastError();
        ASSERT_TRUE(session.selectTaxpayer(eik)) << session.lastError();
    }
};

TEST_F(SessionTest, PrepareForParamsWalksTheWholeProtocol) {
    Handler handler(kDecl55);
    auto link = session.prepareForParams(handler, ParameterValues{{"eik", "123456789"}, {"year", "2024.000000"}});
    ASSERT_TRUE(link) << session.lastError();
    EXPECT_EQ(link->id, "5501");
    EXPECT_EQ(handler.resultsAsks, 0);

    auto all = portal.journal().all();
    std::vector<std::string> paths;
    for (const auto& r : all) paths.push_back(r.path);
    EXPECT_EQ(paths,
              (std::vector<std::string>{"/auth/entrypoint", "/auth/login/qes", "/auth/callback", "/home.html",
                                        "/api/base/taxpayers",  // login check
                                        "/api/base/taxpayers",  // the list
                                        "/api/common/taxpayer/select", "/auth/users/me", "/api/base/categories",
                                        "/api/common/service-links/select/5501", "/auth/entrypoint", "/auth/callback",
                                        "/home.html", std::string("/details/") + kDecl55, "/home.html"}));
    EXPECT_EQ(portal.journal().clientSubjectOn("/auth/login/qes"), card.key().cert.subject);
    EXPECT_EQ(portal.portal().journal().clientSubjectOn("/api/base/taxpayers"), "");

    // Cookies the session installed, as the portal received them.
    auto select = portal.journal().lastOn("/api/common/service-links/select/5501");
    ASSERT_TRUE(select);
    EXPECT_EQ(PortalStandIn::cookie(*select, "loggedIn"), "dHJ1ZQ==");
    EXPECT_EQ(PortalStandIn::cookie(*select, "es-onb"), "initial");
    EXPECT_EQ(PortalStandIn::cookie(*select, "selectedContext"), b64("4100000001"));
    EXPECT_EQ(PortalStandIn::cookie(*select, "tpId"), b64("true"));
    auto details = portal.journal().lastOn(std::string("/details/") + kDecl55);
    ASSERT_TRUE(details);
    EXPECT_EQ(PortalStandIn::cookie(*details, "selectedServiceId"), b64("5501"));
    EXPECT_EQ(details->header("Accept-Language"), "bg-BG,bg;q=0.9,en;q=0.8");

    // The service-link select and the UI's entry point each opened a new connection.
    auto fresh = PortalStandIn::onNewConnections(portal.portal().journal().all());
    auto freshAt = [&](const std::string& path, int nth) {
        int seen = 0;
        for (const auto& r : portal.portal().journal().all()) {
            if (r.path != path || seen++ != nth) continue;
            for (const auto& f : fresh)
                if (f.connectionId == r.connectionId && f.target == r.target) return true;
        }
        return false;
    };
    EXPECT_TRUE(freshAt("/api/common/service-links/select/5501", 0));
    EXPECT_TRUE(freshAt("/auth/entrypoint", 1));
    EXPECT_EQ(select->header("Accept"), "application/json");

    EXPECT_EQ(session.currentSystemId(), 24);
    EXPECT_EQ(session.csrfToken(), portal.csrfToken());
    ASSERT_TRUE(session.currentTaxpayer());
    EXPECT_EQ(*session.currentTaxpayer(), (SelectedTaxpayer{4100000001, "123456789", "TP-4100000001"}));
    EXPECT_EQ(session.lastError(), "");

    // Another taxpayer, results: neither the catalogue nor the list is fetched again.
    portal.journal();
    size_t before = portal.journal().size();
    Handler results(kDecl55);
    auto second = session.prepareForParams(results, ParameterValues{{"eik", "987654321"}, {"year", "0"}});
    ASSERT_TRUE(second) << session.lastError();
    EXPECT_EQ(second->id, "5509");
    EXPECT_EQ(results.submitAsks, 0);
    auto all2 = portal.journal().all();
    std::vector<RecordedRequest> later(all2.begin() + static_cast<long>(before), all2.end());
    EXPECT_EQ(countOn(later, "/api/base/categories"), 0u);
    EXPECT_EQ(countOn(later, "/api/base/taxpayers"), 1u);  // the live check only
    EXPECT_EQ(countOn(later, "/auth/login/qes"), 0u);
    EXPECT_EQ(later.front().path, "/api/base/taxpayers");
    EXPECT_EQ(session.currentSystemId(), 29);
    EXPECT_EQ(session.currentTaxpayer()->tin, 4100000002);
    EXPECT_EQ(portal.selectedTaxpayer()->pin, "987654321");
}

TEST_F(SessionTest, FailureMessages) {
    const std::string notFound = "Фирма с избрания ЕИК не е намерена в списъка на задължените лица";
    const auto pastCap = [](const std::string& reason) {
        return " не беше прочетен: надхвърля допустимия размер (" + reason + "))";
    };
    const std::string pastJsonCap = pastCap("answer larger than the limit of 2097152 bytes");
    std::string tooManyValues = "[0";
    for (std::size_t i = 0; i < tavo::core::domain::kMaxTaxpayerListValues; ++i) tooManyValues += ",0";
    tooManyValues += "]";
    // Order matters: the taxpayer list is cached once fetched non-empty, the catalogue once loaded.
    struct Case {
        const char* name;
        std::function<void()> script;
        std::string eik;
        std::string year;
        std::string service;
        bool hasLinks;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"no eik", [] {}, "", "2024", kDecl55, true, "Липсва задължителен параметър eik"},
        {"login refused", [&] { portal.setLoginRefused(true); }, "123456789", "2024", kDecl55, true,
         "validation returned HTTP 401"},
        {"empty list", [&] { portal.setLoginRefused(false), portal.setTaxpayers({}); }, "123456789", "2024", kDecl55,
         true, notFound + " (списъкът е празен — сесията може да не е активна)"},
        // A list holding more values than its reader takes says so.
        {"list of too many values", [&] { portal.setTaxpayersReply(Reply::json(tooManyValues)); }, "123456789", "2024",
         kDecl55, true, notFound + " (списъкът на задължените лица" + pastCap("more than 1048576 values")},
        {"not in list",
         [&] { portal.setTaxpayersReply(std::nullopt), portal.setTaxpayers(PortalStandIn::defaultTaxpayers()); },
         "111111111", "2024", kDecl55, true, notFound + " (налични задължени лица: 3)"},
        {"blanks around", [] {}, " 123456789", "2024", kDecl55, true, notFound + " (налични задължени лица: 3)"},
        {"select refused", [&] { portal.setSelectReply(Reply::text("down", 503)); }, "123456789", "2024", kDecl55, true,
         "Неуспешен избор на ЗЛ 123456789"},
        {"select unreadable", [&] { portal.setSelectReply(Reply::json("{\"tin\":")); }, "123456789", "2024", kDecl55,
         true, "Неуспешен избор на ЗЛ 123456789"},
        // An answer past its cap says so in the step's message.
        {"select answer past its cap", [&] { portal.setSelectReply(Reply::endlessBody("application/json")); },
         "123456789", "2024", kDecl55, true, "Неуспешен избор на ЗЛ 123456789 (отговорът на избора" + pastJsonCap},
        {"catalogue past its cap",
         [&] {
             portal.setSelectReply(std::nullopt), portal.setCategoriesReply(Reply::endlessBody("application/json"));
         },
         "123456789", "2024", kDecl55, true,
         std::string("Услуга '") + kDecl55 + "' не е намерена в каталога (каталогът на услугите" + pastJsonCap},
        {"no service", [&] { portal.setCategoriesReply(Reply::json(PortalStandIn::defaultCatalogue())); }, "123456789",
         "2024", "Няма такава", true, "Услуга 'Няма такава' не е намерена в каталога"},
        {"no submit link", [] {}, "123456789", "2030", kDecl55, false,
         std::string("Не е намерен линк за '") + kDecl55 + "' за година 2030"},
        {"no results link", [] {}, "123456789", "abc", kDecl55, false,
         std::string("Не е намерен линк за '") + kDecl55 + "'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.script();
        Handler handler(c.service, c.hasLinks);
        ParameterValues params{{"year", c.year}};
        if (!c.eik.empty()) params["eik"] = c.eik;
        EXPECT_FALSE(session.prepareForParams(handler, params));
        EXPECT_EQ(session.lastError(), c.expected);
    }
}

TEST_F(SessionTest, LoginWithoutCertificateMakesNoRequest) {
    SenderIdentity none = card.identity();
    none.certificateId.clear();
    session.setIdentity(none);
    EXPECT_FALSE(session.login());
    EXPECT_EQ(session.lastError(), "Не е избран сертификат (certificateId is empty).");
    EXPECT_EQ(portal.journal().size(), 0u);
    Handler handler(kDecl55);
    EXPECT_FALSE(session.prepareFor(handler, "123456789", 2024));
    EXPECT_EQ(session.lastError(), "Не е избран сертификат (certificateId is empty).");
    EXPECT_EQ(portal.journal().size(), 0u);
}

TEST_F(SessionTest, IdentityAndPinKeepOrDropTheClient) {
    loginAndSelect();
    ASSERT_NE(session.exportCookies().find("selectedContext"), std::string::npos);

    SenderIdentity sameCert = card.identity();
    sameCert.signerEmail = "other@example.bg";
    session.setIdentity(sameCert);
    EXPECT_NE(session.exportCookies().find("SESSION"), std::string::npos);
    EXPECT_TRUE(session.currentTaxpayer());
    EXPECT_TRUE(session.isAuthenticated());

    session.setPin(card.pin());  // unchanged
    EXPECT_NE(session.exportCookies().find("SESSION"), std::string::npos);

    session.setPin("9999");
    EXPECT_TRUE(session.currentTaxpayer());   // state is not reset
    EXPECT_EQ(session.exportCookies(), "");   // a new client, no cookies
    EXPECT_FALSE(session.isAuthenticated());  // the live check fails on it
    session.setPin(card.pin());

    SenderIdentity otherCert = card.identity();
    otherCert.certificateId = "1:FF";
    session.setIdentity(otherCert);
    EXPECT_FALSE(session.currentTaxpayer());
    EXPECT_EQ(session.csrfToken(), "");
    EXPECT_EQ(session.currentSystemId(), 0);
    EXPECT_FALSE(session.isAuthenticated());

    // The PIN stayed with the other certificate (a PIN never reaching
    // another card is proven through the engine).
    session.setIdentity(card.identity());
    EXPECT_EQ(session.pin(), "");
    session.setPin(card.pin());
    EXPECT_TRUE(session.login());
    const std::string before = session.lastError();
    size_t requests = portal.journal().size();
    session.logout();
    EXPECT_EQ(portal.journal().size(), requests);
    EXPECT_FALSE(session.isAuthenticated());
}

TEST_F(SessionTest, AuthRetryAlwaysDeniedLogsInOnceAndReselectsTheTaxpayer) {
    tavo::test::clearRecordedPauses();
    loginAndSelect("987654321");
    portal.scriptServiceLinkStatuses({401, 405, 401, 401});
    session.httpSelectService("5501");
    // The portal's own pauses, as production waits them: after the taxpayer
    // select, before the plain retry, after the re-login, before the last try.
    using std::chrono::seconds;
    EXPECT_EQ(tavo::test::recordedPauses(),
              (std::vector<std::chrono::milliseconds>{seconds(1), seconds(1), seconds(2), seconds(1)}));
    auto all = portal.journal().all();
    EXPECT_EQ(countPrefix(all, "/api/common/service-links/select/"), 4u);
    EXPECT_EQ(countOn(all, "/auth/login/qes"), 2u);
    EXPECT_EQ(countOn(all, "/api/common/taxpayer/select"), 2u);
    // The re-login's select comes before the third call and names the remembered taxpayer.
    auto lastSelect = portal.journal().lastOn("/api/common/taxpayer/select");
    EXPECT_EQ(lastSelect->body, "{\"tin\":4100000002}");
    std::vector<std::string> tail;
    for (const auto& r : all) {
        if (r.path == "/api/common/taxpayer/select" || r.path.rfind("/api/common/service-links/", 0) == 0)
            tail.push_back(r.path.substr(0, 20));
    }
    EXPECT_EQ(tail, (std::vector<std::string>{"/api/common/taxpayer", "/api/common/service-", "/api/common/service-",
                                              "/api/common/taxpayer", "/api/common/service-", "/api/common/service-"}));
    EXPECT_EQ(session.currentTaxpayer()->tin, 4100000002);
    auto after = portal.journal().all();
    // The cookie is installed whatever the portal answered.
    EXPECT_NE(session.exportCookies().find(b64("5501")), std::string::npos);
}

TEST_F(SessionTest, AuthRetryWithFailingLoginMakesTwoCalls) {
    loginAndSelect();
    portal.scriptServiceLinkStatuses({401, 401, 401, 401});
    portal.setLoginRefused(true);
    session.httpSelectService("5501");
    auto all = portal.journal().all();
    EXPECT_EQ(countPrefix(all, "/api/common/service-links/select/"), 2u);
    EXPECT_EQ(countOn(all, "/api/common/taxpayer/select"), 1u);
    EXPECT_EQ(session.lastError(), "validation returned HTTP 401");
}

TEST_F(SessionTest, AuthRetryReturnsOtherRefusalsAtOnce) {
    loginAndSelect();
    portal.scriptServiceLinkStatuses({403});
    session.httpSelectService("5501");
    EXPECT_EQ(countPrefix(portal.journal().all(), "/api/common/service-links/select/"), 1u);
}

TEST_F(SessionTest, LinkIdsAndServiceNamesArePercentEncoded) {
    ASSERT_TRUE(session.login());
    ASSERT_TRUE(session.selectTaxpayer("123456789"));
    Handler handler("Обр. 6 & други?");
    auto link = session.selectService(handler, 2024);
    ASSERT_TRUE(link) << session.lastError();
    EXPECT_EQ(link->id, "6/1?x=1");
    auto all = portal.journal().all();
    bool sawSelect = false, sawDetails = false;
    for (const auto& r : all) {
        if (r.target == "/api/common/service-links/select/6%2F1%3Fx%3D1") sawSelect = true;
        if (r.path == "/details/Обр. 6 & други?" && r.query.empty()) sawDetails = true;
    }
    EXPECT_TRUE(sawSelect);
    EXPECT_TRUE(sawDetails);
}

TEST_F(SessionTest, HostileAnswersGiveEmptyResultsAndTheNextCallFetchesAgain) {
    struct Case {
        const char* name;
        Reply reply;
        const char* logged;
    };
    std::string deep = "[{\"services\":[{\"links\":[{\"props\":{\"x\":" + std::string(100000, '[') +
                       std::string(100000, ']') + "}}]}]}]";
    Reply cut = Reply::json(PortalStandIn::defaultCatalogue());
    cut.cutAfter = 40;
    const std::vector<Case> cases = {
        {"object", Reply::json("{}"), nullptr},
        {"1e400", Reply::json("1e400"), "NapSession::categories parse: "},
        {"deep props", Reply::json(deep), "NapSession::categories parse: "},
        {"cut off", cut, "NapSession::categories: HTTP 0"},
        {"refused", Reply::json("[]", 500), "NapSession::categories: HTTP 500"},
    };
    int fetches = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        portal.setCategoriesReply(c.reply);
        EXPECT_TRUE(session.categories().empty());
        EXPECT_EQ(portal.categoriesFetches(), ++fetches);
        if (c.logged) {
            EXPECT_NE(card.logText().find(c.logged), std::string::npos);
        }
    }
    portal.setCategoriesReply(Reply::json(PortalStandIn::defaultCatalogue()));
    EXPECT_EQ(session.categories().size(), 2u);
    EXPECT_EQ(session.categories().size(), 2u);
    EXPECT_EQ(portal.categoriesFetches(), fetches + 1);
}

TEST_F(SessionTest, HostileTaxpayerAnswers) {
    ASSERT_TRUE(session.login());
    portal.setTaxpayersReply(Reply::json("{}"));
    EXPECT_TRUE(session.listTaxpayers().empty());
    EXPECT_NE(card.logText().find("NapSession::listTaxpayers: unexpected body — {}"), std::string::npos);
    portal.setTaxpayersReply(Reply::json(R"([{"pin":"1","tin":1e30},{"pin":"2","tin":"123"}])"));
    const auto& list = session.listTaxpayers();  // fetched again: nothing was cached
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].tin, 0);
    EXPECT_EQ(list[1].tin, 0);
    EXPECT_NE(card.logText().find("tin(s) out of range read as 0"), std::string::npos);

    // A select answer without tin installs the Base64 of "0".
    portal.setSelectReply(Reply::json(R"({"pin":123456789,"tpId":"x"})"));
    auto selected = session.httpSelectTaxpayer(4100000001);
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->tin, 0);
    EXPECT_EQ(selected->pin, "123456789");
    EXPECT_NE(session.exportCookies().find("selectedContext\t" + b64("0")), std::string::npos);
}

// An accounting office's list runs past the cap of the portal's other JSON
// answers: it is read whole.
TEST_F(SessionTest, ALargeOfficesTaxpayerListIsReadWhole) {
    std::vector<PortalStandIn::Taxpayer> office;
    for (int64_t i = 0; i < 20000; ++i)
        office.push_back(
            {"Клиент " + std::to_string(i) + " ЕООД", std::to_string(200000000 + i), "EIK", 4200000000 + i, ""});
    portal.setTaxpayers(office);
    ASSERT_TRUE(session.login()) << session.lastError();
    EXPECT_EQ(session.listTaxpayers().size(), office.size());
    EXPECT_TRUE(session.selectTaxpayer(office.back().pin)) << session.lastError();
}

TEST_F(SessionTest, FailedTransfersGiveStatusZeroAndAnEmptyBody) {
    Reply cut = Reply::text(std::string(5000, 'x'));
    cut.cutAfter = 100;
    portal.on(PortalStandIn::Host::Portal, "GET", "/cut", [cut](const RecordedRequest&) { return cut; });
    auto response = session.get(std::string("https://portal.nra.bg/cut"));
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(response.body, "");
    // A cap's refusal tells the user why nothing was read.
    portal.on(PortalStandIn::Host::Portal, "GET", "/endless",
              [](const RecordedRequest&) { return Reply::endlessBody("text/html"); });
    auto endless = session.get(std::string("https://portal.nra.bg/endless"));
    EXPECT_EQ(endless.status, 0);
    EXPECT_EQ(endless.body, "");
    EXPECT_EQ(session.lastError(),
              "Отговорът на НАП не беше прочетен: надхвърля допустимия размер (answer larger than the limit of "
              "16777216 bytes)");
    auto unreachable = session.get("https://api.nra.bg/anything");
    EXPECT_EQ(unreachable.status, 0);
    EXPECT_EQ(unreachable.body, "");
}

TEST_F(SessionTest, CsrfTokenOnlyFromAString) {
    ASSERT_TRUE(session.login());
    session.refreshCsrfToken();
    EXPECT_EQ(session.csrfToken(), portal.csrfToken());
    portal.on(PortalStandIn::Host::Portal, "GET", "/auth/users/me",
              [](const RecordedRequest&) { return Reply::json(R"({"_csrf":5})"); });
    session.refreshCsrfToken();
    EXPECT_EQ(session.csrfToken(), "");
    EXPECT_NE(card.logText().find("NapSession::refreshCsrfToken: failed (HTTP 200)"), std::string::npos);
}

TEST_F(SessionTest, SecretsNeverReachTheLog) {
    Handler handler(kDecl55);
    ASSERT_TRUE(session.prepareForParams(handler, ParameterValues{{"eik", "123456789"}, {"year", "2024"}}));

    // First: the secrets really were used.
    auto sessions = portal.issuedSessionIds();
    auto codes = portal.issuedCodes();
    ASSERT_EQ(codes.size(), 2u);  // the certificate login and the UI's fresh entry point
    ASSERT_EQ(sessions.size(), 2u);
    auto all = portal.journal().all();
    auto sentBack = [&](const std::string& id) {
        return std::any_of(all.begin(), all.end(),
                           [&](const RecordedRequest& r) { return PortalStandIn::cookie(r, "SESSION") == id; });
    };
    EXPECT_TRUE(sentBack(sessions[0]));
    for (const auto& code : codes) {
        EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const RecordedRequest& r) {
            return r.path == "/auth/callback" && r.query.find("code=" + code) != std::string::npos;
        })) << code;
    }
    // The fresh entry point was followed through its callback.
    auto entry =
        std::find_if(all.rbegin(), all.rend(), [](const RecordedRequest& r) { return r.path == "/auth/entrypoint"; });
    ASSERT_NE(entry, all.rend());
    ASSERT_NE(entry, all.rbegin());
    EXPECT_EQ(std::prev(entry)->path, "/auth/callback");

    // Then: none of them is in the log.
    const std::string log = card.logText();
    ASSERT_NE(log.find("LoginFlow: cookies after OAuth:"), std::string::npos);
    ASSERT_NE(log.find("SESSION"), std::string::npos);  // names are logged
    std::vector<std::string> secrets = sessions;
    secrets.insert(secrets.end(), codes.begin(), codes.end());
    secrets.push_back(portal.stateCookie());
    secrets.push_back(portal.loginHostCookie());
    secrets.push_back(b64("4100000001"));
    secrets.push_back(b64("5501"));
    secrets.push_back("dHJ1ZQ==");
    secrets.push_back(portal.csrfToken());
    for (const auto& secret : secrets) {
        ASSERT_FALSE(secret.empty());
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
}

const std::string kForged = "2020-01-01 00:00:00 [INFO ] LoginFlow: QES login succeeded";

TEST_F(SessionTest, AnotherTaxpayerInTheSelectAnswerStopsThePreparation) {
    const std::string stopped = ". Операцията е спряна, нищо не е подадено.";
    const std::string asked = "Порталът избра друго задължено лице: поискано е ЕИК 123456789 (tin 4100000001), ";
    struct Case {
        const char* name;
        std::function<void()> script;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"another company", [&] { portal.answerSelectWith(4100000001, 4100000002); },
         asked + "а порталът върна tin 4100000002 (ЕИК 987654321)" + stopped},
        {"tin only", [&] { portal.setSelectReply(Reply::json(R"({"tin":4100000003})")); },
         asked + "а порталът върна tin 4100000003" + stopped},
        {"tin out of range", [&] { portal.setSelectReply(Reply::json(R"({"tin":1e30,"pin":"987654321"})")); },
         asked + "а порталът върна tin извън допустимия обхват (ЕИК 987654321)" + stopped},
        {"pin forging a log line",
         [&] {
             nlohmann::json answer = {{"tin", 4100000002}, {"pin", "987654321\n" + kForged}};
             portal.setSelectReply(Reply::json(answer.dump()));
         },
         asked + "а порталът върна tin 4100000002 (ЕИК 987654321\\x0A" + kForged.substr(0, 54) + ")" + stopped},
    };
    Handler handler(kDecl55);
    const ParameterValues params{{"eik", "123456789"}, {"year", "2024"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A good preparation first, so that a kept selection would show.
        portal.answerSelectWith(4100000001, 4100000001);
        portal.setSelectReply(std::nullopt);
        ASSERT_TRUE(session.prepareForParams(handler, params)) << session.lastError();
        ASSERT_EQ(session.currentSystemId(), 24);

        c.script();
        EXPECT_FALSE(session.prepareForParams(handler, params));
        EXPECT_EQ(session.lastError(), c.expected);
        EXPECT_FALSE(session.currentTaxpayer());
        EXPECT_EQ(session.currentSystemId(), 0);
        // Nothing went to the portal after the refused answer, and its
        // taxpayer never became the session's context.
        EXPECT_EQ(portal.journal().all().back().path, "/api/common/taxpayer/select");
        EXPECT_EQ(session.exportCookies().find("selectedContext\t" + b64("4100000002")), std::string::npos);
        EXPECT_EQ(session.exportCookies().find("selectedContext\t" + b64("4100000003")), std::string::npos);
    }
    EXPECT_FALSE(hasLineStartingWith(card.logText(), kForged));
}

TEST_F(SessionTest, CatalogueTextCannotForgeALogLine) {
    nlohmann::json catalogue = nlohmann::json::parse(PortalStandIn::defaultCatalogue());
    auto& link = catalogue[0]["services"][0]["links"][1];
    ASSERT_EQ(link["id"], "5501");
    link["i18nName"] = "Подаване\n" + kForged;
    portal.setCategoriesReply(Reply::json(catalogue.dump()));
    Handler handler(kDecl55);
    ASSERT_TRUE(session.prepareForParams(handler, ParameterValues{{"eik", "123456789"}, {"year", "2024"}}))
        << session.lastError();
    const std::string log = card.logText();
    EXPECT_NE(log.find("NapSession::selectService: услуга Подаване\\x0A" + kForged + " (id=5501)"), std::string::npos);
    EXPECT_FALSE(hasLineStartingWith(log, kForged));
}

// The service select is refused until a new login, and the taxpayer select
// after that login answers with another company: the preparation stops.
TEST_F(SessionTest, AnotherTaxpayerAfterTheReloginStopsThePreparation) {
    int selects = 0;
    portal.on(PortalStandIn::Host::Portal, "POST", "/api/common/taxpayer/select", [&](const RecordedRequest&) {
        return ++selects == 1 ? Reply::json(R"({"tin":4100000001,"pin":"123456789","tpId":"TP-4100000001"})")
                              : Reply::json(R"({"tin":4100000002,"pin":"987654321","tpId":"TP-4100000002"})");
    });
    portal.scriptServiceLinkStatuses({401, 401});
    Handler handler(kDecl55);
    EXPECT_FALSE(session.prepareForParams(handler, ParameterValues{{"eik", "123456789"}, {"year", "2024"}}));
    EXPECT_EQ(selects, 2);
    EXPECT_EQ(session.lastError(),
              "Порталът избра друго задължено лице: поискано е ЕИК 123456789 (tin 4100000001), а порталът върна tin "
              "4100000002 (ЕИК 987654321). Операцията е спряна, нищо не е подадено.");
    EXPECT_FALSE(session.currentTaxpayer());
    EXPECT_EQ(session.currentSystemId(), 0);
    // Nothing more reaches the portal under the other company's context.
    auto all = portal.journal().all();
    auto second = std::find_if(all.rbegin(), all.rend(),
                               [](const RecordedRequest& r) { return r.path == "/api/common/taxpayer/select"; });
    ASSERT_NE(second, all.rend());
    for (auto it = all.rbegin(); it != second; ++it)
        EXPECT_EQ(it->path.rfind("/api/common/service-links/", 0), 0u) << it->path;
    EXPECT_EQ(session.exportCookies().find(b64("5501")), std::string::npos);
}

}  // namespace
