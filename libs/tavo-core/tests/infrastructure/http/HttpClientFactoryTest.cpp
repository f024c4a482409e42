#include <gtest/gtest.h>

#include <string>

#include "infrastructure/http/HttpClientFactory.h"
#include "support/LogCapture.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;

TEST(HttpClientFactory, PresetsDifferOnlyInTheirFields) {
    const std::string browser = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36";
    struct Case {
        const char* name;
        std::unique_ptr<HttpClient> client;
        std::string userAgent;
        int timeout;
        std::string certId, pin;
    };
    Case cases[] = {
        {"portal", HttpClientFactory::forNapPortal("", "p1"), browser, 60, "", "p1"},
        {"portal one-shot", HttpClientFactory::forNapPortalOneShot("", "p2"), browser, 30, "", "p2"},
        {"rest api", HttpClientFactory::forNapRestApi(), "TavoAgentC/0.1", 60, "", ""},
        {"cloud", HttpClientFactory::forTavoCloud(), "TavoAgentC/0.1 (+tavo.example)", 10, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpClientOptions& o = c.client->options();
        EXPECT_EQ(o.userAgent, c.userAgent);
        EXPECT_EQ(o.timeoutSeconds, c.timeout);
        EXPECT_EQ(o.clientCertId, c.certId);
        EXPECT_EQ(o.pin, c.pin);
        EXPECT_TRUE(o.followRedirects);
        EXPECT_EQ(o.maxRedirects, 10);
        EXPECT_TRUE(o.verifyPeer);
        EXPECT_EQ(o.cookieFile, "");
        EXPECT_EQ(o.pkcs11ModulePath, "");
    }
}

TEST(HttpClientFactory, PortalWithoutCertificateIdPresentsNone) {
    LogCapture log;
    StandIn portal{StandIn::Options{StandIn::ClientCert::Request, false}};
    portal.route({"portal.nra.bg"});
    portal.reply("GET", "/", Reply::text("ok"));
    auto client = HttpClientFactory::forNapPortal("", "");
    EXPECT_EQ(client->get("https://portal.nra.bg/").status, 200);
    EXPECT_EQ(portal.journal().clientSubjectOn("/"), "");
    EXPECT_FALSE(log.contains("PKCS#11"));
}
