#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/tavocloud/TavoCloudClient.h"
#include "support/StandIn.h"

namespace nap = tavo::core::infra::nap;
using tavo::core::infra::http::HttpClientFactory;
using tavo::core::infra::tavocloud::readVersionAnswer;
using tavo::core::infra::tavocloud::TavoCloudClient;
using tavo::test::Reply;
using tavo::test::StandIn;

namespace {

constexpr const char* kPath = "/api/v1/agent/version";
const std::string kParseError = "TavoCloudClient::checkVersion: parse error \u2014 ";

struct Expected {
    bool ok;
    const char* latest;
    const char* min;
    const char* windows;
    const char* mac;
};

void expectInfo(const TavoCloudClient::VersionInfo& info, const Expected& e) {
    EXPECT_EQ(info.ok, e.ok);
    EXPECT_EQ(info.latestVersion, e.latest);
    EXPECT_EQ(info.minVersion, e.min);
    EXPECT_EQ(info.windowsUrl, e.windows);
    EXPECT_EQ(info.macUrl, e.mac);
}

// Runs checkVersion and returns what it logged.
std::string checkLogged(TavoCloudClient& client, TavoCloudClient::VersionInfo& info) {
    testing::internal::CaptureStderr();
    info = client.checkVersion();
    return testing::internal::GetCapturedStderr();
}

bool hasWarn(const std::string& log, const std::string& message) {
    return log.find("[WARN ] " + message + "\n") != std::string::npos;
}

const char* kGoodAnswer = R"({"latestVersion":"1.4.2","minVersion":"1.0.0","windowsUrl":"https://tavo.example/w.msi",)"
                          R"("macUrl":"https://tavo.example/m.pkg","notes":"extra members are ignored"})";

}  // namespace

TEST(VersionAnswer, ReadsStatusAndBody) {
    struct Case {
        const char* name;
        int status;
        std::string body;
        Expected expected;
        std::string warning;
    };
    const Case cases[] = {
        {"full answer",
         200,
         kGoodAnswer,
         {true, "1.4.2", "1.0.0", "https://tavo.example/w.msi", "https://tavo.example/m.pkg"},
         ""},
        {"only latest", 200, R"({"latestVersion":"2.0"})", {true, "2.0", "", "", ""}, ""},
        {"any 2xx", 299, R"({"latestVersion":"2.0"})", {true, "2.0", "", "", ""}, ""},
        {"no latest", 200, R"({"minVersion":"1.0"})", {false, "", "1.0", "", ""}, ""},
        {"empty latest", 200, R"({"latestVersion":""})", {false, "", "", "", ""}, ""},
        {"latest a number",
         200,
         R"({"latestVersion":142})",
         {false, "", "", "", ""},
         kParseError + "[json.exception.type_error.302] type must be string, but is number"},
        {"later member null keeps earlier ones",
         200,
         R"({"latestVersion":"2.0","minVersion":"1","macUrl":null})",
         {false, "2.0", "1", "", ""},
         kParseError + "[json.exception.type_error.302] type must be string, but is null"},
        {"array",
         200,
         R"([{"latestVersion":"2.0"}])",
         {false, "", "", "", ""},
         kParseError + "[json.exception.type_error.306] cannot use value() with array"},
        {"string",
         200,
         R"("2.0")",
         {false, "", "", "", ""},
         kParseError + "[json.exception.type_error.306] cannot use value() with string"},
        {"404", 404, R"({"latestVersion":"2.0"})", {false, "", "", "", ""}, "TavoCloudClient::checkVersion: HTTP 404"},
        {"199", 199, "", {false, "", "", "", ""}, "TavoCloudClient::checkVersion: HTTP 199"},
        {"300", 300, "", {false, "", "", "", ""}, "TavoCloudClient::checkVersion: HTTP 300"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto answer = readVersionAnswer(c.status, c.body);
        expectInfo(answer.info, c.expected);
        EXPECT_EQ(answer.warning, c.warning);
    }
}

TEST(VersionAnswer, UnreadableBodiesGiveOneCleanParseErrorLine) {
    for (const std::string& body :
         {std::string(""), std::string("{\"latestVersion\":\"1"), std::string("<html>\n\x1b[31m</html>"),
          std::string(100000, '[') + "1", std::string("{\"latestVersion\":\"\xff\xfe\"}")}) {
        SCOPED_TRACE(body.substr(0, 40));
        auto answer = readVersionAnswer(200, body);
        EXPECT_FALSE(answer.info.ok);
        EXPECT_EQ(answer.warning.rfind(kParseError, 0), 0u) << answer.warning;
        EXPECT_GT(answer.warning.size(), kParseError.size());
        EXPECT_EQ(answer.warning.find('\n'), std::string::npos);
        EXPECT_EQ(answer.warning.find('\x1b'), std::string::npos);
    }
}

TEST(VersionAnswer, UnsoundValuesAreLeftEmptyWithAWarning) {
    const std::string kDropped = "TavoCloudClient::checkVersion: ";
    struct Case {
        const char* name;
        std::string body;
        Expected expected;
        std::vector<std::string> dropped;
    };
    const Case cases[] = {
        {"scheme in capitals and letters beyond ASCII",
         R"({"latestVersion":"2.0 бета","windowsUrl":"HTTPS://tavo.example/w.msi"})",
         {true, "2.0 бета", "", "HTTPS://tavo.example/w.msi", ""},
         {}},
        {"no host",
         R"({"latestVersion":"2.0","windowsUrl":"https:///w.msi","macUrl":"https://"})",
         {true, "2.0", "", "", ""},
         {kDropped + "windowsUrl is not an https address, left empty: https:///w.msi",
          kDropped + "macUrl is not an https address, left empty: https://"}},
        {"address broken by a line",
         R"({"latestVersion":"2.0","macUrl":"https://tavo.example/m.pkg\r\nX-Evil: 1"})",
         {true, "2.0", "", "", ""},
         {kDropped + "macUrl is not an https address, left empty: https://tavo.example/m.pkg\\x0D\\x0AX-Evil: 1"}},
        {"version with a line break",
         R"({"latestVersion":"2.0\n2099-01-01 [ERROR] forged","minVersion":"1\t0"})",
         {false, "", "", "", ""},
         {kDropped + "latestVersion holds control characters, left empty: 2.0\\x0A2099-01-01 [ERROR] forged",
          kDropped + "minVersion holds control characters, left empty: 1\\x090"}},
        {"NUL, DEL and a C1 control",
         R"({"latestVersion":"2.0\u0000\u007f","minVersion":"1.0\u0085"})",
         {false, "", "", "", ""},
         {kDropped + "latestVersion holds control characters, left empty: 2.0\\x00\\x7F",
          kDropped + "minVersion holds control characters, left empty: 1.0\u0085"}},
        {"checked also when a later member is mistyped, cut in the log",
         R"({"latestVersion":"2.0","windowsUrl":"http://)" + std::string(300, 'a') + R"(","macUrl":7})",
         {false, "2.0", "", "", ""},
         {kDropped + "windowsUrl is not an https address, left empty: http://" + std::string(193, 'a')}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto answer = readVersionAnswer(200, c.body);
        expectInfo(answer.info, c.expected);
        EXPECT_EQ(answer.dropped, c.dropped);
    }
}

class TavoCloudClientTest : public testing::Test {
protected:
    void SetUp() override { cloud.route({nap::kCloudHost}); }
    StandIn cloud;
};

TEST_F(TavoCloudClientTest, GoodAnswerWithPresetUserAgentAndJsonHeaders) {
    cloud.reply("GET", kPath, Reply::json(kGoodAnswer));
    TavoCloudClient client(nap::kCloudBase);
    TavoCloudClient::VersionInfo info;
    std::string log = checkLogged(client, info);
    expectInfo(info, {true, "1.4.2", "1.0.0", "https://tavo.example/w.msi", "https://tavo.example/m.pkg"});
    EXPECT_EQ(log.find("[WARN ]"), std::string::npos) << log;

    auto request = cloud.journal().last();
    ASSERT_TRUE(request);
    EXPECT_EQ(cloud.journal().size(), 1u);
    EXPECT_EQ(request->method, "GET");
    EXPECT_EQ(request->target, kPath);
    EXPECT_EQ(request->header("Host"), nap::kCloudHost);
    EXPECT_EQ(request->header("User-Agent"), HttpClientFactory::forTavoCloud()->options().userAgent);
    EXPECT_EQ(request->header("User-Agent").rfind("TavoAgentC/0.1 (+", 0), 0u);
    EXPECT_EQ(request->header("Accept"), "application/json");
    EXPECT_EQ(request->header("Origin"), nap::kPortalBase);
    EXPECT_EQ(request->header("Referer"), nap::kHomeHtml);
    EXPECT_TRUE(request->clientSubject.empty());
}

TEST_F(TavoCloudClientTest, WronglyTypedMemberIsAParseError) {
    cloud.reply("GET", kPath, Reply::json(R"({"latestVersion":142,"macUrl":"https://tavo.example/m.pkg"})"));
    TavoCloudClient client(nap::kCloudBase);
    TavoCloudClient::VersionInfo info;
    std::string log = checkLogged(client, info);
    expectInfo(info, {false, "", "", "", ""});
    EXPECT_TRUE(hasWarn(log, kParseError + "[json.exception.type_error.302] type must be string, but is number"))
        << log;
}

TEST_F(TavoCloudClientTest, PlainHttpUpdateAddressIsNotOffered) {
    cloud.reply("GET", kPath,
                Reply::json(R"({"latestVersion":"1.5.0","windowsUrl":"https://tavo.example/w.msi",)"
                            R"("macUrl":"http://tavo.example/m.pkg"})"));
    TavoCloudClient client(nap::kCloudBase);
    TavoCloudClient::VersionInfo info;
    std::string log = checkLogged(client, info);
    expectInfo(info, {true, "1.5.0", "", "https://tavo.example/w.msi", ""});
    EXPECT_TRUE(hasWarn(log,
                        "TavoCloudClient::checkVersion: macUrl is not an https address, left empty: "
                        "http://tavo.example/m.pkg"))
        << log;
}

TEST_F(TavoCloudClientTest, NotFoundIsAnHttpWarning) {
    TavoCloudClient client(nap::kCloudBase);  // the stand-in has no route: 404
    TavoCloudClient::VersionInfo info;
    std::string log = checkLogged(client, info);
    expectInfo(info, {false, "", "", "", ""});
    EXPECT_TRUE(hasWarn(log, "TavoCloudClient::checkVersion: HTTP 404")) << log;
    EXPECT_EQ(cloud.journal().paths(), std::vector<std::string>{kPath});
}

TEST_F(TavoCloudClientTest, BaseAddressEndingInSlashIsNotNormalised) {
    cloud.onPrefix("GET", "/", [](const tavo::test::RecordedRequest&) { return Reply::json(kGoodAnswer); });
    TavoCloudClient client(std::string(nap::kCloudBase) + "/");
    TavoCloudClient::VersionInfo info;
    checkLogged(client, info);
    auto request = cloud.journal().last();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->target, std::string("/") + kPath);
    EXPECT_TRUE(info.ok);
}

TEST_F(TavoCloudClientTest, StalledServerEndsInTheTimeoutError) {
    // The preset's limit is what ends the wait; the test asserts the limit that
    // was set and the error it produced, not the time it took.
    EXPECT_EQ(HttpClientFactory::forTavoCloud()->options().timeoutSeconds, 10);
    Reply stalled = Reply::json(kGoodAnswer);
    stalled.delay = std::chrono::minutes(5);
    cloud.reply("GET", kPath, stalled);
    TavoCloudClient client(nap::kCloudBase);
    TavoCloudClient::VersionInfo info;
    std::string log = checkLogged(client, info);
    EXPECT_EQ(cloud.journal().paths(), std::vector<std::string>{kPath});
    cloud.stop();
    expectInfo(info, {false, "", "", "", ""});
    EXPECT_TRUE(hasWarn(log, std::string("TavoCloudClient::checkVersion: transport error \u2014 ") +
                                 curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)))
        << log;
}

TEST(TavoCloudClient, ClosedPortIsATransportError) {
    // The test main points the cloud host at a closed local port.
    TavoCloudClient client(nap::kCloudBase);
    TavoCloudClient::VersionInfo info;
    std::string log = checkLogged(client, info);
    expectInfo(info, {false, "", "", "", ""});
    EXPECT_TRUE(hasWarn(log, std::string("TavoCloudClient::checkVersion: transport error \u2014 ") +
                                 curl_easy_strerror(CURLE_COULDNT_CONNECT)))
        << log;
}
