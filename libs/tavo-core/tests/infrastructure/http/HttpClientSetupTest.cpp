// A handle that cannot be set up as the policy says fails at once, with its
// own message, before anything is sent; the test seam names itself in the log.
#include <gtest/gtest.h>

#include <string>

#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/TestSeam.h"
#include "support/LogCapture.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;

namespace {

const std::string kHome = "https://portal.nra.bg/home.html";

}  // namespace

TEST(HttpClientSetup, TheTestSeamIsNamedOnceInTheLogWhenHonoured) {
    ASSERT_TRUE(testSeamCompiledIn());
    LogCapture log;
    StandIn portal;
    portal.route({"portal.nra.bg"});
    portal.reply("GET", "/home.html", Reply::text("home"));
    for (int i = 0; i < 3; ++i) {
        HttpClient client({});
        EXPECT_EQ(client.get(kHome).status, 200);
    }
    const std::string text = log.text();
    for (const char* variable : {"TAVO_TEST_CONNECT_TO", "TAVO_TEST_CA_FILE"}) {
        const std::string warning = std::string("[WARN ] HttpClient: test seam ") + variable + " is set and honoured";
        const std::size_t first = text.find(warning);
        EXPECT_NE(first, std::string::npos) << warning;
        EXPECT_EQ(text.find(warning, first + 1), std::string::npos) << warning;  // once, for three clients
    }
}

TEST(HttpClientSetup, AFailedSetUpFailsEveryRequestWithItsOwnMessageAndSendsNothing) {
    StandIn portal{StandIn::Options{StandIn::ClientCert::Require, false}};
    portal.route({"portal.nra.bg"});
    portal.reply("GET", "/home.html", Reply::text("home"));
    LogCapture log;
    // No engine library can load from here, so the card's engine cannot be
    // selected.
    TempDir engines("tavo-engines");
    writeFile(engines / "pkcs11.so", "not a shared object");
    ScopedEnv env("OPENSSL_ENGINES", engines.str().c_str());

    struct Case {
        const char* name;
        HttpClientOptions options;
        std::string errorStart;
    };
    HttpClientOptions engine;
    engine.clientCertId = "3:A1B2";
    HttpClientOptions agent;
    agent.userAgent = "Agent\r\nX-Injected: 1";
    const Case cases[] = {
        {"engine", engine, "the smart card's pkcs11 engine could not be selected: "},
        {"user agent", agent, "header \"User-Agent\" refused: its value holds a line break or NUL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpClient client(c.options);
        for (const HttpResponse& r : {client.get(kHome), client.postRaw(kHome, "x", "text/plain")}) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.error.rfind(c.errorStart, 0), 0u) << r.error;
        }
        EXPECT_TRUE(client.downloadBinary(kHome).empty());
        EXPECT_TRUE(log.contains(c.errorStart)) << log.text();
    }
    EXPECT_EQ(portal.journal().size(), 0u);
    EXPECT_EQ(portal.handshakes(), 0u);
}
