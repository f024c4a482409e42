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
using namespace std::chrono_literals;

namespace {

const std::string kPin = "739146";
const std::string kPortal = "https://portal.nra.bg";
const std::string kTimeout = curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);

void expectTimedOutWithin(const std::function<HttpResponse()>& call, std::chrono::seconds limit) {
    const auto start = std::chrono::steady_clock::now();
    const HttpResponse r = call();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * limit);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error.rfind(kTimeout, 0), 0u) << r.error;
}

struct DeadlineTest : ::testing::Test {
    LogCapture log;
    StandIn portal{StandIn::Options{StandIn::ClientCert::Request, false}};

    DeadlineTest() {
        portal.route({nap::kPortalHost, nap::kCloudHost});
        // Ten redirects (the most a client follows) of 400 ms each.
        portal.redirectChain("GET", "/hop/", 10, 400ms);
        portal.redirectChain("POST", "/post/", 10, 400ms, 307);
    }
};

}  // namespace

TEST_F(DeadlineTest, RedirectHopsShareTheRequestsOneLimit) {
    SoftHsmToken token{"TavoTestCard", kPin};
    const SoftHsmToken::Key key = token.addRsaKey("A1B2", "Tavo Card Holder", "holder@example.com");
    ScopedEnv module{"TAVO_PKCS11_MODULE", SoftHsmToken::modulePath().c_str()};
    HttpClientOptions o;
    o.timeoutSeconds = 1;
    HttpClient client(o);
    o.clientCertId = key.certificateId;
    o.pin = kPin;
    HttpClient card(o);  // its transfers go another way through the client
    const std::pair<const char*, std::function<HttpResponse()>> cases[] = {
        {"get", [&] { return client.get(kPortal + "/hop/0"); }},
        {"postRaw through 307s", [&] { return client.postRaw(kPortal + "/post/0", "filing", "text/plain"); }},
        {"downloadBinary",
         [&] {
             HttpResponse r;
             if (client.downloadBinary(kPortal + "/hop/0").empty()) r.error = kTimeout;
             return r;
         }},
        {"the card's get", [&] { return card.get(kPortal + "/hop/0"); }},
    };
    for (const auto& [name, call] : cases) {
        SCOPED_TRACE(name);
        expectTimedOutWithin(call, 1s);
    }
    EXPECT_TRUE(log.contains("download of https://portal.nra.bg/hop/0 failed: " + kTimeout)) << log.text();
}

TEST_F(DeadlineTest, GetFreshAndTheCloudPresetKeepTheirTenSeconds) {
    // Each hop within ten seconds, the chain far beyond them; the portal
    // client's own limit (60 s) would let the chain finish.
    portal.redirectChain("GET", "/slow/", 10, 1500ms);
    auto portalClient = HttpClientFactory::forNapPortal("", "");
    auto cloud = HttpClientFactory::forTavoCloud();
    // Both at once: the limits are the clients' own, the wait is shared.
    auto fresh = std::async(std::launch::async, [&] {
        SCOPED_TRACE("getFresh");
        expectTimedOutWithin([&] { return portalClient->getFresh(kPortal + "/slow/0"); }, 10s);
    });
    SCOPED_TRACE("forTavoCloud");
    expectTimedOutWithin([&] { return cloud->get(std::string(nap::kCloudBase) + "/slow/0"); }, 10s);
    fresh.get();
}
