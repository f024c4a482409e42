#include "infrastructure/auth/LoginFlow.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "infrastructure/auth/SessionValidator.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/signing/ISigner.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"

namespace {

using tavo::core::infra::auth::LoginFlow;
using tavo::core::infra::auth::SessionValidator;
using tavo::core::infra::http::HttpClientFactory;
using tavo::test::PortalCard;
using tavo::test::PortalStandIn;
using tavo::test::Reply;

const std::string kCardText =
    "Сертификатът за КЕП не е достъпен. Проверете че смарт картата е поставена в четеца и драйверите са активни. "
    "(Оригинално: ";

TEST(LoginFlowText, HumanizesCertificateProblemsOnly) {
    struct Case {
        const char* error;
        bool humanized;
    };
    for (const Case& c : {Case{"Problem with the local SSL certificate", true},
                          {"SSL CERTIFICATE problem: unable to get local issuer", true},
                          {"error CERTPROBLEM", true},
                          {"xcertprobx", true},
                          {"Could not resolve hostname", false},
                          {"SSL peer certificate or SSH remote key was not OK", false},
                          {"", false}}) {
        SCOPED_TRACE(c.error);
        std::string text = LoginFlow::humanizeError(c.error);
        EXPECT_EQ(text, c.humanized ? kCardText + c.error + ")" : std::string(c.error));
    }
}

TEST(LoginFlowText, CookieNamesWithoutValues) {
    EXPECT_EQ(LoginFlow::cookieNames("portal.nra.bg\tFALSE\t/\tTRUE\t0\tSESSION\tsecret-1\n"
                                     "#HttpOnly_login.nra.bg\tFALSE\t/\tTRUE\t0\tQES\tsecret-2\n"
                                     "broken line\n\n"),
              "portal.nra.bg SESSION\n#HttpOnly_login.nra.bg QES");
    EXPECT_EQ(LoginFlow::cookieNames(""), "");
}

class CountingSigner : public tavo::signing::ISigner {
public:
    enum class Mode { True, False, Throws };
    explicit CountingSigner(Mode mode) : mode_(mode) {}
    std::vector<tavo::signing::CertificateInfo> listCertificates() override { return {}; }
    std::vector<uint8_t> signData(const std::vector<uint8_t>&, const std::string&, const std::string&) override {
        return {};
    }
    bool warmUp(const std::string& id, const std::string& pin) override {
        lastId = id, lastPin = pin;
        if (mode_ == Mode::Throws) throw std::runtime_error("card gone");
        return mode_ == Mode::True;
    }
    std::vector<uint8_t> getCertificateDer(const std::string&) override { return {}; }
    std::string lastId, lastPin;

private:
    Mode mode_;
};

struct LoginFlowTest : ::testing::Test {
    PortalCard card;
    PortalStandIn portal;
};

TEST_F(LoginFlowTest, CertificateLoginSucceedsAndLogsCookieNamesOnly) {
    auto client = HttpClientFactory::forNapPortal(card.key().certificateId, card.pin());
    EXPECT_FALSE(SessionValidator(*client).isValid());
    LoginFlow flow(*client, nullptr, card.key().certificateId, {});
    ASSERT_TRUE(flow.login()) << flow.lastError();
    EXPECT_EQ(flow.lastError(), "");
    EXPECT_TRUE(SessionValidator(*client).isValid());
    EXPECT_EQ(portal.journal().clientSubjectOn("/auth/login/qes"), card.key().cert.subject);
    auto check = portal.journal().lastOn("/api/base/taxpayers");
    ASSERT_TRUE(check);
    EXPECT_EQ(check->header("Accept"), "application/json");
    EXPECT_EQ(check->header("Referer"), "https://portal.nra.bg/home.html");
    auto entry = portal.journal().lastOn("/auth/entrypoint");
    EXPECT_EQ(entry->query, "redirectUrl=https://portal.nra.bg/home.html&lang=bg");

    std::string log = card.logText();
    EXPECT_NE(log.find("LoginFlow: QES login succeeded"), std::string::npos);
    EXPECT_NE(log.find("portal.nra.bg SESSION"), std::string::npos);
    EXPECT_EQ(log.find("CSP"), std::string::npos);  // no signer: nothing about the PIN cache
    for (const auto& secret : portal.issuedSessionIds()) EXPECT_EQ(log.find(secret), std::string::npos);
    EXPECT_EQ(log.find(portal.loginHostCookie()), std::string::npos);
}

TEST_F(LoginFlowTest, FailedChecksAndHandshakes) {
    {
        SCOPED_TRACE("refused login");
        portal.setLoginRefused(true);
        auto client = HttpClientFactory::forNapPortal(card.key().certificateId, card.pin());
        LoginFlow flow(*client, nullptr, card.key().certificateId, {});
        EXPECT_FALSE(flow.login());
        EXPECT_EQ(flow.lastError(), "validation returned HTTP 401");
        portal.setLoginRefused(false);
    }
    {
        SCOPED_TRACE("a check past the taxpayer list's cap");
        portal.setTaxpayersReply(Reply::endlessBody("application/json"));
        auto client = HttpClientFactory::forNapPortal(card.key().certificateId, card.pin());
        LoginFlow flow(*client, nullptr, card.key().certificateId, {});
        EXPECT_FALSE(flow.login());
        const std::string refused = "validation returned HTTP 0 (answer larger than the limit of 16777216 bytes)";
        EXPECT_EQ(flow.lastError(), refused);
        EXPECT_NE(card.logText().find("LoginFlow: " + refused), std::string::npos);
        portal.setTaxpayersReply(std::nullopt);
    }
    {
        SCOPED_TRACE("cut-off check");
        Reply cut = Reply::json("[{\"tin\":1}]");
        cut.cutAfter = 3;
        portal.on(PortalStandIn::Host::Portal, "GET", "/api/base/taxpayers",
                  [cut](const tavo::test::RecordedRequest&) { return cut; });
        auto client = HttpClientFactory::forNapPortal(card.key().certificateId, card.pin());
        LoginFlow flow(*client, nullptr, card.key().certificateId, {});
        EXPECT_FALSE(flow.login());
        EXPECT_EQ(flow.lastError(), "validation returned HTTP 0");
    }
    {
        SCOPED_TRACE("no client certificate");
        size_t before = portal.loginHost().journal().size();
        auto client = HttpClientFactory::forNapPortal("", "");
        LoginFlow flow(*client, nullptr, "", {});
        EXPECT_FALSE(flow.login());
        EXPECT_FALSE(flow.lastError().empty());
        EXPECT_NE(card.logText().find("LoginFlow: qes mTLS: "), std::string::npos);
        EXPECT_EQ(portal.loginHost().journal().size(), before);  // refused in the handshake
    }
}

// The check passes on JSON of any shape ({} for a user with no taxpayers);
// a page (a lapsed session's sign-in) means the login did not take.
TEST_F(LoginFlowTest, CheckPassesOnJsonOnly) {
    struct Case {
        const char* name;
        Reply reply;
        bool passes;
    };
    for (const Case& c : {Case{"redirect to the sign-in page", Reply::redirect(PortalStandIn::loginPageUrl()), false},
                          {"a page labelled JSON", Reply::json("<html><body>Вход</body></html>"), false},
                          {"an empty object", Reply::json("{}"), true}}) {
        SCOPED_TRACE(c.name);
        portal.setTaxpayersReply(c.reply);
        auto client = HttpClientFactory::forNapPortal(card.key().certificateId, card.pin());
        LoginFlow flow(*client, nullptr, card.key().certificateId, {});
        EXPECT_EQ(flow.login(), c.passes);
        EXPECT_EQ(flow.lastError(),
                  c.passes ? ""
                           : "validation returned HTTP 200 with a page instead of the taxpayers list (the login "
                             "did not take effect)");
        EXPECT_EQ(SessionValidator(*client).isValid(), c.passes);
    }
}

TEST_F(LoginFlowTest, WarmUpPrimesThePinCacheWhenItCan) {
    auto client = HttpClientFactory::forNapPortal(card.key().certificateId, card.pin());
    struct Case {
        CountingSigner::Mode mode;
        bool hasPin;
        const char* logged;
    };
    for (const Case& c : {Case{CountingSigner::Mode::True, true, "CSP PIN cache primed"},
                          {CountingSigner::Mode::False, true, "warmUp returned false (likely wrong PIN)"},
                          {CountingSigner::Mode::Throws, true, "LoginFlow: warmUp threw: card gone"},
                          {CountingSigner::Mode::True, false, "no stored PIN; CSP dialog will prompt user"}}) {
        SCOPED_TRACE(c.logged);
        CountingSigner signer(c.mode);
        LoginFlow flow(*client, &signer, "7:AB", [&]() -> std::optional<std::string> {
            return c.hasPin ? std::optional<std::string>("2468") : std::nullopt;
        });
        flow.warmUpCsp();
        EXPECT_NE(card.logText().find(c.logged), std::string::npos);
        EXPECT_EQ(signer.lastPin, c.hasPin ? "2468" : "");
        EXPECT_EQ(signer.lastId, c.hasPin ? "7:AB" : "");
    }
    CountingSigner unused(CountingSigner::Mode::True);
    LoginFlow noId(*client, &unused, "", [] { return std::optional<std::string>("1"); });
    noId.warmUpCsp();
    EXPECT_EQ(unused.lastId, "");
}

}  // namespace
