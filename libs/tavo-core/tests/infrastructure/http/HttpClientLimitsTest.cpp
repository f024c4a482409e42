// Answers that never end, hostile JSON, header values that would split a line
// and a handle that cannot be set up: the client stops each one before it
// costs the user memory or sends anything.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "domain/PortalAnswers.h"
#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapRestApiClient.h"
#include "infrastructure/http/TestSeam.h"
#include "infrastructure/java/JnlpDownloader.h"
#include "operations/PlsResultsExecutor.h"
#include "support/LogCapture.h"
#include "support/RestApiStandIn.h"
#include "support/StandIn.h"
#include "support/TestArchives.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;
using tavo::core::domain::NapIdentifierType;

namespace {

const std::string kPortal = "https://portal.nra.bg";
constexpr std::size_t kMiB = 1u << 20;

// How far resident memory rose above its size at the start while `call` ran.
std::size_t peakGrowth(const std::function<void()>& call) {
    auto field = [](const std::string& name) -> std::size_t {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind(name, 0) == 0) return std::stoull(line.substr(name.size())) * 1024;
        return 0;
    };
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again here
    const std::size_t base = field("VmRSS:");
    call();
    const std::size_t peak = field("VmHWM:");
    return peak > base ? peak - base : 0;
}

std::string capError(std::size_t cap) {
    return "answer larger than the limit of " + std::to_string(cap) + " bytes";
}

struct LimitsTest : ::testing::Test {
    StandIn portal;
    LogCapture log;
    LimitsTest() { portal.route({"portal.nra.bg"}); }
};

}  // namespace

TEST_F(LimitsTest, EndlessAnswersStopAtTheCapWithNothingPartial) {
    portal.reply("GET", "/endless", Reply::endlessBody("text/html"));
    portal.reply("GET", "/endless.jar", Reply::endlessBody());
    HttpClientOptions o;
    o.maxBodyBytes = 24 * kMiB;
    o.maxDownloadBytes = 32 * kMiB;
    // A client that ignored its cap would fail on this limit instead.
    o.timeoutSeconds = 10;
    HttpClient client(o);
    struct Case {
        const char* name;
        std::size_t cap;
        std::function<void()> call;  // checks that the call failed and returned nothing
        std::string logged;
    };
    const Case cases[] = {
        {"get", o.maxBodyBytes,
         [&] {
             HttpResponse r = client.get(kPortal + "/endless");
             EXPECT_EQ(r.error, capError(o.maxBodyBytes));
             EXPECT_EQ(r.status, 0);
             EXPECT_EQ(r.body, "");
         },
         ""},
        {"downloadBinary", o.maxDownloadBytes,
         [&] { EXPECT_TRUE(client.downloadBinary(kPortal + "/endless.jar").empty()); },
         "HttpClient: download of https://portal.nra.bg/endless.jar failed: " + capError(o.maxDownloadBytes)},
        {"anonymous applet download", HttpClientOptions::kDefaultMaxDownloadBytes,
         [&] {
             std::vector<std::uint8_t> out;
             EXPECT_FALSE(tavo::stampit::JnlpDownloader::doFetch({}, kPortal + "/endless.jar", out));
             EXPECT_TRUE(out.empty());
         },
         capError(HttpClientOptions::kDefaultMaxDownloadBytes)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t growth = peakGrowth(c.call);
        if (tavo::test::kResidentMemoryIsMeaningful) {
            EXPECT_LT(growth, 2 * c.cap);
        }
        EXPECT_TRUE(log.contains(c.logged)) << c.logged;
    }
}

TEST_F(LimitsTest, JsonAnswersAreHeldToTheSmallerCap) {
    portal.reply("GET", "/labelled", Reply::endlessBody("application/json;charset=UTF-8"));
    portal.reply("GET", "/unlabelled", Reply::endlessBody("text/plain"));
    const std::string small(HttpClientOptions::kDefaultMaxJsonBytes + kMiB, ' ');
    portal.reply("GET", "/page", Reply::text(small, 200, "text/html"));
    portal.reply("GET", "/api/base/taxpayers", Reply::endlessBody("application/json"));
    HttpClient client({});
    // Of the portal's JSON, only an office's taxpayer list takes the pages' cap.
    auto portalClient = HttpClientFactory::forNapPortal("", "");
    const std::size_t json = HttpClientOptions::kDefaultMaxJsonBytes;
    const std::size_t page = HttpClientOptions::kDefaultMaxBodyBytes;
    struct Case {
        HttpClient* client;
        const char* path;
        HeaderMap headers;
        std::string error;
    };
    const Case cases[] = {
        {&client, "/labelled", {}, capError(json)},
        {&client, "/unlabelled", kAcceptJson, capError(json)},
        {&client, "/unlabelled", {{"Accept", "application/json, text/javascript, */*; q=0.01"}}, capError(json)},
        {&client, "/unlabelled", kAcceptHtmlBrowser, capError(page)},
        {&client, "/page", kAcceptHtmlBrowser, ""},
        {portalClient.get(), "/labelled", kAcceptJson, capError(json)},
        {portalClient.get(), "/api/base/taxpayers", kAcceptJson, capError(page)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        HttpResponse r = c.client->get(kPortal + c.path, c.headers);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.status, c.error.empty() ? 200 : 0);
    }
}

TEST(JsonCap, AHostileAnswerAtTheCapStaysFarBelowHalfAGibibyteInTheReaders) {
    // The shape that costs the most per byte: tiny objects in one array.
    auto hostile = [](std::size_t cap) {
        std::string text = "[";
        while (text.size() + 64 < cap) text += "{},";
        text.back() = ']';
        return text;
    };
    const std::string ajax = R"({"recordsTotal":1,"data":)" + hostile(HttpClientOptions::kDefaultMaxJsonBytes) + "}";
    ASSERT_LE(ajax.size(), HttpClientOptions::kDefaultMaxJsonBytes);
    // The taxpayer list is held to the pages' cap: an office's list that fills
    // it is read whole, a hostile one costs no more.
    const std::size_t listCap = HttpClientOptions::kDefaultMaxBodyBytes;
    std::string office = "[";
    std::size_t taxpayers = 0;
    for (; office.size() + 256 < listCap; ++taxpayers) {
        const std::string n = std::to_string(100000000 + taxpayers);
        office += R"({"name":"Счетоводна къща Пример )" + n + R"( ЕООД","pin":")" + n + R"(","pinType":"EIK","tin":)" +
                  n + R"(,"email":"office)" + n + R"(@example.bg","authorization":"FULL","active":true},)";
    }
    office.back() = ']';
    tavo::core::operations::InquiryResult result;
    tavo::core::domain::TaxpayerListReading read;
    EXPECT_LT(peakGrowth([&] { read = tavo::core::domain::readTaxpayerList(office); }), 512 * kMiB);
    EXPECT_EQ(read.taxpayers.size(), taxpayers);
    EXPECT_LT(peakGrowth([&] { (void)tavo::core::domain::readTaxpayerList(hostile(listCap)); }), 512 * kMiB);
    EXPECT_LT(peakGrowth([&] { tavo::core::operations::listing::readAjaxAnswer(ajax, {}, result); }), 512 * kMiB);
}

TEST_F(LimitsTest, HeaderValuesThatWouldSplitALineAreRefused) {
    portal.reply("GET", "/", Reply::text("ok"));
    portal.reply("POST", "/", Reply::text("ok"));
    HttpClient client({});
    struct Case {
        const char* name;
        HeaderMap headers;
        std::string contentType;
        std::string refused;  // the header the error names
    };
    const Case cases[] = {
        {"LF", {{"X-Key", "abc\nX-Injected: 1"}}, "text/plain", "X-Key"},
        {"CR", {{"X-Key", "\rabc"}}, "text/plain", "X-Key"},
        {"NUL", {{"X-Key", std::string("ab\0c", 4)}}, "text/plain", "X-Key"},
        {"line break in a name", {{"X-A\r\nX-B", "v"}}, "text/plain", "X-A\\x0D\\x0AX-B"},
        {"content type argument", {}, "text/plain\r\nX-Injected: 1", "Content-Type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string expected = "header \"" + c.refused + "\" refused: its value holds a line break or NUL";
        HttpResponse got = client.get(kPortal + "/", c.headers);
        HttpResponse posted = client.postRaw(kPortal + "/", "body", c.contentType, c.headers);
        EXPECT_EQ(posted.status, 0);
        EXPECT_EQ(posted.error, expected);
        if (!c.headers.empty()) {  // else the one clean GET
            EXPECT_EQ(got.error, expected);
            EXPECT_TRUE(client.downloadBinary(kPortal + "/", c.headers).empty());
        }
    }
    // Only the one clean GET crossed the wire.
    EXPECT_EQ(portal.journal().size(), 1u);
    EXPECT_FALSE(log.contains("X-Injected"));
}

TEST(RestApiKey, BlanksAroundTheKeyAreDroppedAndALineBreakInsideItSendsNothing) {
    RestApiStandIn api;
    auto http = HttpClientFactory::forNapRestApi();
    struct Case {
        std::string key;
        std::string sent;  // Authorization that crossed the wire; empty: nothing sent
    };
    const Case cases[] = {
        {"  k3y-One\t", "Bearer k3y-One"},
        {"k3y-Two\r\n", "Bearer k3y-Two"},
        {"k3y\r\nX-Injected: 1", ""},
        {"k3y\nThree", ""},
        {" \t ", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        api.journal().clear();
        NapRestApiClient client(*http, RestApiStandIn::productionSubmitUrl(), RestApiStandIn::productionResultUrl(),
                                c.key);
        client.checkStatus("1", "1", NapIdentifierType::UNKNOWN, "1", NapIdentifierType::UNKNOWN, {});
        ASSERT_EQ(api.journal().size(), c.sent.empty() ? 0u : 1u);
        if (!c.sent.empty()) {
            EXPECT_EQ(api.journal().last()->header("Authorization"), c.sent);
        }
    }
}

TEST_F(LimitsTest, TheTestSeamIsNamedOnceInTheLogWhenHonoured) {
    ASSERT_TRUE(testSeamCompiledIn());
    portal.reply("GET", "/", Reply::text("home"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(HttpClient({}).get(kPortal + "/").status, 200);
    const std::string text = log.text();
    for (const char* variable : {"TAVO_TEST_CONNECT_TO", "TAVO_TEST_CA_FILE"}) {
        const std::string warning = std::string("[WARN ] HttpClient: test seam ") + variable + " is set and honoured";
        const std::size_t first = text.find(warning);
        EXPECT_NE(first, std::string::npos) << warning;
        EXPECT_EQ(text.find(warning, first + 1), std::string::npos) << warning;  // once, for three clients
    }
}

TEST_F(LimitsTest, AFailedSetUpFailsEveryRequestWithItsOwnMessageAndSendsNothing) {
    portal.reply("GET", "/", Reply::text("home"));
    // No engine library can load from here, so the card's engine cannot be selected.
    TempDir engines("tavo-engines");
    writeFile(engines / "pkcs11.so", "not a shared object");
    ScopedEnv env("OPENSSL_ENGINES", engines.str().c_str());
    HttpClientOptions engine, agent;
    engine.clientCertId = "3:A1B2";
    agent.userAgent = "Agent\r\nX-Injected: 1";
    struct Case {
        HttpClientOptions options;
        std::string errorStart;
    };
    const Case cases[] = {
        {engine, "the smart card's pkcs11 engine could not be selected: "},
        {agent, "header \"User-Agent\" refused: its value holds a line break or NUL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.errorStart);
        HttpClient client(c.options);
        for (const HttpResponse& r : {client.get(kPortal + "/"), client.postRaw(kPortal + "/", "x", "text/plain")}) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.error.rfind(c.errorStart, 0), 0u) << r.error;
        }
        EXPECT_TRUE(client.downloadBinary(kPortal + "/").empty());
        EXPECT_TRUE(log.contains(c.errorStart)) << log.text();
    }
    EXPECT_EQ(portal.journal().size(), 0u);
    EXPECT_EQ(portal.handshakes(), 0u);
}
