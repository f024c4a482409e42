#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

#include "infrastructure/http/HttpClient.h"
#include "support/LogCapture.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;

namespace {

const std::string kPortal = "https://portal.nra.bg";

// A stand-in reached under the portal's production name.
struct PortalFixture : ::testing::Test {
    StandIn portal;
    PortalFixture() { portal.route({"portal.nra.bg"}); }
};

using HttpClientTest = PortalFixture;

}  // namespace

TEST_F(HttpClientTest, GetKeepsTheLastOfRepeatedHeadersAndTrimsOnlyTheFront) {
    Reply r = Reply::text("body");
    r.headers = {{"X-Dup", "first"}, {"X-Dup", "second"}, {"X-Pad", "\tpadded  "}};
    portal.reply("GET", "/page", r);
    HttpClient client({});
    HttpResponse resp = client.get(kPortal + "/page", {{"X-Custom", "1"}});
    ASSERT_EQ(resp.error, "");
    EXPECT_EQ(resp.status, 200);
    EXPECT_EQ(resp.body, "body");
    EXPECT_EQ(resp.headers["X-Dup"], "second");
    EXPECT_EQ(resp.headers["X-Pad"], "padded  ");
    EXPECT_EQ(resp.effectiveUrl, kPortal + "/page");
    auto sent = portal.journal().last();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->header("X-Custom"), "1");
    EXPECT_EQ(sent->header("User-Agent"), "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36");

    // An empty map clears the previous request's lines.
    client.get(kPortal + "/page");
    EXPECT_FALSE(portal.journal().last()->hasHeader("X-Custom"));
}

TEST_F(HttpClientTest, RedirectedGetReportsFinalStatusUrlAndTheRedirectsLocation) {
    portal.reply("GET", "/start", Reply::redirect("/end", 302));
    portal.reply("GET", "/end", Reply::text("done", 202));
    HttpClient client({});
    HttpResponse resp = client.get(kPortal + "/start?x=1");
    EXPECT_EQ(resp.status, 202);
    EXPECT_EQ(resp.body, "done");
    EXPECT_EQ(resp.effectiveUrl, kPortal + "/end");
    EXPECT_EQ(resp.headers["Location"], "/end");
    EXPECT_EQ(portal.journal().paths(), (std::vector<std::string>{"/start", "/end"}));
}

TEST_F(HttpClientTest, ElevenChainedRedirectsHitTheLimit) {
    for (int i = 0; i <= 11; ++i)
        portal.reply("GET", "/r" + std::to_string(i), Reply::redirect("/r" + std::to_string(i + 1)));
    portal.reply("GET", "/r12", Reply::text("never"));
    HttpClient client({});
    HttpResponse resp = client.get(kPortal + "/r0");
    EXPECT_EQ(resp.status, 0);
    EXPECT_EQ(resp.error, curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS));
    EXPECT_EQ(portal.journal().size(), 11u);
}

TEST_F(HttpClientTest, HttpErrorStatusIsNotAnError) {
    portal.reply("GET", "/missing", Reply::text("gone", 404));
    HttpClient client({});
    HttpResponse resp = client.get(kPortal + "/missing");
    EXPECT_EQ(resp.error, "");
    EXPECT_EQ(resp.status, 404);
    EXPECT_EQ(resp.body, "gone");
}

TEST_F(HttpClientTest, PostFormEscapesValuesNotNamesInMapOrder) {
    portal.reply("POST", "/form", Reply::text("ok"));
    HttpClient client({});
    HeaderMap fields = {{"name", "hello world"}, {"amp", "&"}, {"x[]", "a=b"}};
    HttpResponse resp = client.postForm(kPortal + "/form", fields, {{"Content-Type", "text/plain"}});
    EXPECT_EQ(resp.status, 200);
    EXPECT_EQ(resp.effectiveUrl, "");
    std::string expected;
    const HeaderMap escaped = {{"name", "hello%20world"}, {"amp", "%26"}, {"x[]", "a%3Db"}};
    for (const auto& [k, v] : fields) {
        (void)v;
        if (!expected.empty()) expected += '&';
        expected += k + "=" + escaped.at(k);
    }
    auto sent = portal.journal().last();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->body, expected);
    EXPECT_EQ(sent->headerCount("Content-Type"), 1u);
    EXPECT_EQ(sent->header("Content-Type"), "application/x-www-form-urlencoded");
}

TEST_F(HttpClientTest, PostRawContentTypeRules) {
    portal.reply("POST", "/raw", Reply::text("ok"));
    HttpClient client({});
    struct Case {
        const char* name;
        std::string contentType;
        HeaderMap headers;
        std::size_t lines;
        std::string value;
    };
    const Case cases[] = {
        {"argument only", "application/json", {}, 1, "application/json"},
        {"caller's lower-case header wins", "application/json", {{"content-type", "text/xml"}}, 1, "text/xml"},
        {"caller's header wins", "application/json", {{"Content-Type", "text/csv"}}, 1, "text/csv"},
        {"none at all", "", {}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpResponse resp = client.postRaw(kPortal + "/raw", "{\"a\":1}", c.contentType, c.headers);
        EXPECT_EQ(resp.status, 200);
        auto sent = portal.journal().last();
        ASSERT_TRUE(sent);
        EXPECT_EQ(sent->body, "{\"a\":1}");
        EXPECT_EQ(sent->headerCount("Content-Type"), c.lines);
        EXPECT_EQ(sent->header("Content-Type"), c.value);
    }
    // A GET after a POST is a GET again.
    portal.reply("GET", "/raw", Reply::text("got"));
    EXPECT_EQ(client.get(kPortal + "/raw").body, "got");
    EXPECT_EQ(portal.journal().last()->method, "GET");
}

TEST_F(HttpClientTest, CookiesSetExportedSentAndCleared) {
    portal.reply("GET", "/c", Reply::text("ok"));
    HttpClient client({});
    client.setCookie("dotted", "v1", ".portal.nra.bg", "/", true);
    client.setCookie("plain", "v2", "portal.nra.bg", "/", false);
    const std::string exported = client.exportCookies();
    EXPECT_NE(exported.find(".portal.nra.bg\tTRUE\t/\tTRUE\t0\tdotted\tv1\n"), std::string::npos) << exported;
    EXPECT_NE(exported.find("portal.nra.bg\tFALSE\t/\tFALSE\t0\tplain\tv2\n"), std::string::npos) << exported;

    client.get(kPortal + "/c");
    std::string cookie = portal.journal().last()->header("Cookie");
    EXPECT_NE(cookie.find("dotted=v1"), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("plain=v2"), std::string::npos) << cookie;

    client.importCookies("portal.nra.bg\tFALSE\t/\tFALSE\t0\timported\tx\n");
    EXPECT_EQ(client.exportCookies(), exported);

    client.clearCookies();
    EXPECT_EQ(client.exportCookies(), "");
    client.get(kPortal + "/c");
    EXPECT_FALSE(portal.journal().last()->hasHeader("Cookie"));
}

TEST_F(HttpClientTest, SecretsCrossTheWireButNeverReachTheLog) {
    const std::string cookieValue = "cookieSecret7f3a91";
    const std::string code = "oneTimeCode5521";
    Reply login = Reply::redirect("/callback?code=" + code);
    login.setCookies = {"SESSION=" + cookieValue + "; Path=/; Secure; HttpOnly"};
    portal.reply("GET", "/login", login);
    portal.reply("GET", "/callback", Reply::text("welcome"));
    LogCapture log;
    {
        HttpClient client({});
        HttpResponse resp = client.get(kPortal + "/login");
        EXPECT_EQ(resp.status, 200);
    }
    auto callback = portal.journal().lastOn("/callback");
    ASSERT_TRUE(callback);
    EXPECT_EQ(callback->query, "code=" + code);
    EXPECT_EQ(callback->header("Cookie"), "SESSION=" + cookieValue);

    const std::string text = log.text();
    EXPECT_NE(text.find("curl: Added cookie SESSION="), std::string::npos) << text;
    EXPECT_NE(text.find("/callback"), std::string::npos) << text;
    EXPECT_EQ(text.find(cookieValue), std::string::npos) << text;
    EXPECT_EQ(text.find(code), std::string::npos) << text;
}

TEST_F(HttpClientTest, FreshRequestsOpenNewConnections) {
    portal.reply("GET", "/", Reply::text("ok"));
    portal.reply("POST", "/p", Reply::text("ok"));
    HttpClient client({});
    // A POST's connection is closed after it: no later request rides on it.
    EXPECT_EQ(client.postRaw(kPortal + "/p", "x", "text/plain").status, 200);
    client.get(kPortal + "/");
    client.get(kPortal + "/");
    EXPECT_EQ(portal.journal().connectionCount(), 2u);
    EXPECT_EQ(client.getFresh(kPortal + "/").status, 200);
    EXPECT_EQ(portal.journal().connectionCount(), 3u);
    client.getFresh(kPortal + "/");
    EXPECT_EQ(portal.journal().connectionCount(), 4u);
    EXPECT_EQ(client.postRawFresh(kPortal + "/p", "x", "text/plain").status, 200);
    EXPECT_EQ(portal.journal().connectionCount(), 5u);
}

TEST_F(HttpClientTest, DownloadReturnsTheBodyOrNothingWhenCutShort) {
    std::string payload(64 * 1024, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    portal.reply("GET", "/file.bin", Reply::text(payload, 200, "application/octet-stream"));
    Reply cut = Reply::text(payload, 200, "application/octet-stream");
    cut.cutAfter = 1000;
    portal.reply("GET", "/cut.bin", cut);
    portal.reply("GET", "/error", Reply::text("error page", 500));
    LogCapture log;
    HttpClient client({});
    auto whole = client.downloadBinary(kPortal + "/file.bin");
    EXPECT_EQ(std::string(whole.begin(), whole.end()), payload);
    EXPECT_TRUE(client.downloadBinary(kPortal + "/cut.bin?token=abc").empty());
    EXPECT_TRUE(log.contains("HttpClient: download of https://portal.nra.bg/cut.bin failed: "));
    EXPECT_FALSE(log.contains("token=abc"));
    auto page = client.downloadBinary(kPortal + "/error");
    EXPECT_EQ(std::string(page.begin(), page.end()), "error page");
}

TEST_F(HttpClientTest, UntrustedServerFailsVerificationEvenWhenAskedNotToVerify) {
    StandIn impostor(StandIn::Options{StandIn::ClientCert::None, true});
    impostor.route({"portal.nra.bg"});
    impostor.reply("GET", "/", Reply::text("stolen"));
    for (bool verify : {true, false}) {
        SCOPED_TRACE(verify);
        HttpClientOptions o;
        o.verifyPeer = verify;
        HttpClient client(o);
        HttpResponse resp = client.get(kPortal + "/");
        EXPECT_EQ(resp.status, 0);
        EXPECT_EQ(resp.error, curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
        EXPECT_EQ(resp.body, "");
    }
    EXPECT_EQ(impostor.journal().size(), 0u);
}

TEST(HttpClientFailClosed, UnroutedProductionHostsReachNothing) {
    HttpClient client({});
    for (const char* host : tavo::core::infra::nap::kAllHosts) {
        SCOPED_TRACE(host);
        HttpResponse resp = client.get(std::string("https://") + host + "/");
        EXPECT_EQ(resp.status, 0);
        EXPECT_EQ(resp.error, curl_easy_strerror(CURLE_COULDNT_CONNECT));
    }
}

TEST(HttpClientHeaderSets, CarryThePortalOriginAndReferer) {
    EXPECT_EQ(kAcceptJson.at("Accept"), "application/json");
    EXPECT_EQ(kAcceptHtmlBrowser.at("Accept-Language"), "bg-BG,bg;q=0.9,en;q=0.8");
    EXPECT_EQ(kAcceptHtmlBrowser.at("Upgrade-Insecure-Requests"), "1");
    for (const HeaderMap* set : {&kAcceptJson, &kAcceptHtmlBrowser}) {
        EXPECT_EQ(set->at("Origin"), "https://portal.nra.bg");
        EXPECT_EQ(set->at("Referer"), "https://portal.nra.bg/home.html");
    }
    EXPECT_EQ(kAcceptJson.size(), 3u);
    EXPECT_EQ(kAcceptHtmlBrowser.size(), 5u);
}
