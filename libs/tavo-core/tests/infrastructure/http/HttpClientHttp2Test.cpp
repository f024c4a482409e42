// Over HTTP/2 libcurl prints every request header as an informational line.
// Against a real HTTP/2 server, the secrets a request carries cross the wire
// (nghttpd's own record proves it) and never reach the log.
#include <gtest/gtest.h>

#include <string>

#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapRestApiClient.h"
#include "support/LogCapture.h"
#include "support/Nghttpd.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;
using tavo::core::domain::NapIdentifierType;

TEST(Http2Log, CookiesCodesAndTheApiKeyCrossTheWireButNeverReachTheLog) {
    const std::string cookieValue = "cookieSecret7f3a91", context = "ctx-204417733";
    const std::string code = "oneTimeCode5521", apiKey = "sk-live-h2-9c81d";
    LogCapture log;
    Nghttpd server;
    server.route({"portal.nra.bg", "api.nra.bg"});
    server.put("/auth/callback", "welcome");
    server.put("/declaration/api-declarations/result", R"({"documentId":"1"})");

    auto portal = HttpClientFactory::forNapPortal("", "");
    portal->setCookie("SESSION", cookieValue, "portal.nra.bg", "/", true);
    portal->setCookie("selectedContext", context, "portal.nra.bg", "/", true);
    HttpResponse page = portal->get("https://portal.nra.bg/auth/callback?code=" + code, kAcceptHtmlBrowser);
    EXPECT_EQ(page.error, "");
    EXPECT_EQ(page.body, "welcome");

    auto rest = HttpClientFactory::forNapRestApi();
    NapRestApiClient api(*rest, "https://api.nra.bg/declaration/api-declarations/",
                         "https://api.nra.bg/declaration/api-declarations/result", apiKey);
    api.checkStatus("1", "1", NapIdentifierType::UNKNOWN, "1", NapIdentifierType::UNKNOWN, {});

    // What the server received, in its own words: every secret was sent.
    const std::string wire = server.wireLog();
    for (const std::string& sent : {"SESSION=" + cookieValue, "selectedContext=" + context,
                                    ":path: /auth/callback?code=" + code, "authorization: Bearer " + apiKey}) {
        SCOPED_TRACE(sent);
        EXPECT_NE(wire.find(sent), std::string::npos) << wire;
    }

    // The log saw HTTP/2 request lines, by name only.
    const std::string text = log.text();
    EXPECT_NE(text.find("curl: h2h3 [cookie: [redacted]"), std::string::npos) << text;
    EXPECT_NE(text.find("curl: h2h3 [:path: [redacted]"), std::string::npos) << text;
    for (const std::string& secret : {cookieValue, context, code, apiKey}) {
        SCOPED_TRACE(secret);
        EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }
}
