// A server on the agency's own host that stalls before every redirect: each
// hop alone stays within the limit, the whole request must not. The limit is
// the request's, taken when it starts, whatever the client or the request.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapEndpoints.h"
#include "support/LogCapture.h"
#include "support/SoftHsmToken.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;
namespace nap = tavo::core::infra::nap;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kPin = "739146";
const std::string kPortal = "https://portal.nra.bg";
const std::string kTimeout = curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);

// Ten redirects (the most a client follows), each answered after the stall.
constexpr int kHops = 10;

struct Outcome {
    std::int32_t status = 0;
    std::string error;
    Clock::duration took{};
};

Outcome timed(const std::function<HttpResponse()>& call) {
    const Clock::time_point start = Clock::now();
    HttpResponse r = call();
    return {r.status, r.error, Clock::now() - start};
}

void expectTimedOutWithin(const Outcome& o, seconds limit) {
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.error.rfind(kTimeout, 0), 0u) << o.error;
    EXPECT_LT(o.took, 2 * limit);
}

struct DeadlineTest : ::testing::Test {
    LogCapture log;
    StandIn portal{StandIn::Options{StandIn::ClientCert::Request, false}};

    DeadlineTest() {
        portal.route({nap::kPortalHost, nap::kCloudHost});
        // 11 answers of 400 ms: each hop alone is well within one second.
        portal.redirectChain("GET", "/hop/", kHops, milliseconds(400));
        portal.redirectChain("POST", "/post/", kHops, milliseconds(400), 307);
    }
};

// The card's transfers go another way through the client.
struct CardDeadlineTest : DeadlineTest {
    SoftHsmToken token{"TavoTestCard", kPin};
    SoftHsmToken::Key key = token.addRsaKey("A1B2", "Tavo Card Holder", "holder@example.com");
    ScopedEnv module{"TAVO_PKCS11_MODULE", SoftHsmToken::modulePath().c_str()};
};

}  // namespace

TEST_F(DeadlineTest, RedirectHopsShareTheRequestsOneLimit) {
    HttpClientOptions o;
    o.timeoutSeconds = 1;
    HttpClient client(o);
    struct Case {
        const char* name;
        std::function<HttpResponse()> call;
    };
    const Case cases[] = {
        {"get", [&] { return client.get(kPortal + "/hop/0"); }},
        {"postRaw through 307s", [&] { return client.postRaw(kPortal + "/post/0", "filing", "text/plain"); }},
        {"downloadBinary",
         [&] {
             HttpResponse r;
             if (client.downloadBinary(kPortal + "/hop/0").empty()) r.error = kTimeout;
             return r;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectTimedOutWithin(timed(c.call), seconds(1));
    }
    EXPECT_TRUE(log.contains("download of https://portal.nra.bg/hop/0 failed: " + kTimeout)) << log.text();
}

TEST_F(CardDeadlineTest, TheCardClientsHopsShareItToo) {
    HttpClientOptions o;
    o.timeoutSeconds = 1;
    o.clientCertId = key.certificateId;
    o.pin = kPin;
    HttpClient client(o);
    expectTimedOutWithin(timed([&] { return client.get(kPortal + "/hop/0"); }), seconds(1));
    // The card signed the handshake: its path was the one timed.
    EXPECT_FALSE(portal.journal().lastOn("/hop/0")->clientSubject.empty());
}

TEST_F(DeadlineTest, GetFreshAndTheCloudPresetKeepTheirTenSeconds) {
    // Each hop within ten seconds, the chain far beyond them; the portal
    // client's own limit (60 s) would let the chain finish.
    portal.redirectChain("GET", "/slow/", kHops, milliseconds(1500));
    auto portalClient = HttpClientFactory::forNapPortal("", "");
    auto cloud = HttpClientFactory::forTavoCloud();
    // Both at once: the limits are the clients' own, the wait is shared.
    auto fresh = std::async(std::launch::async,
                            [&] { return timed([&] { return portalClient->getFresh(kPortal + "/slow/0"); }); });
    auto cloudOutcome = timed([&] { return cloud->get(std::string(nap::kCloudBase) + "/slow/0"); });
    SCOPED_TRACE("getFresh");
    expectTimedOutWithin(fresh.get(), seconds(10));
    SCOPED_TRACE("forTavoCloud");
    expectTimedOutWithin(cloudOutcome, seconds(10));
}
