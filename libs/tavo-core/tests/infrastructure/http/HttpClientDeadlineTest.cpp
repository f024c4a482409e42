// A server on the agency's own host that stalls before every redirect: each
// hop alone stays within the limit, the whole request must not. The limit is
// the request's, taken when it starts, whatever the client or the request,
// and a card transfer's second try after lost card sessions shares it.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapEndpoints.h"
#include "support/FaultModule.h"
#include "support/LogCapture.h"
#include "support/SoftHsmToken.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;
using namespace std::chrono_literals;

TEST(Deadline, RedirectHopsShareTheRequestsOneLimit) {
    namespace nap = tavo::core::infra::nap;
    const std::string pin = "739146", portalUrl = "https://portal.nra.bg";
    StandIn portal{StandIn::Options{StandIn::ClientCert::Request, false}};
    portal.route({nap::kPortalHost, nap::kLoginHost});
    // Ten redirects (the most a client follows). Each hop of /slow/ stays
    // within ten seconds, the chain within the portal client's 60 s only.
    portal.redirectChain("GET", "/hop/", 10, 400ms);
    portal.redirectChain("POST", "/post/", 10, 400ms, 307);
    portal.redirectChain("GET", "/slow/", 10, 1500ms);
    // The card's request spends most of its two seconds on the portal, then
    // goes on to the login host, whose handshake finds the card's sessions
    // gone: the second try has only the time left, too little for an answer
    // that a fresh limit would still wait for.
    portal.reply("GET", "/warm", Reply::text("a connection that outlives the card's sessions"));
    Reply stall = Reply::redirect(std::string(nap::kLoginBase) + "/answer");
    stall.delay = 1000ms;
    portal.reply("GET", "/pulled", stall);
    Reply late = Reply::text("answered after the request's limit");
    late.delay = 1500ms;
    portal.reply("GET", "/answer", late);
    SoftHsmToken token{"TavoTestCard", pin};
    const SoftHsmToken::Key key = token.addRsaKey("A1B2", "Tavo Card Holder", "holder@example.com");
    FaultModule fault;
    ScopedEnv module{"TAVO_PKCS11_MODULE", FaultModule::path().c_str()};
    LogCapture log;
    HttpClientOptions o;
    o.timeoutSeconds = 1;
    HttpClient client(o);
    o.clientCertId = key.certificateId;
    o.pin = pin;
    o.timeoutSeconds = 2;
    o.redirectHosts = {nap::kPortalHost, nap::kLoginHost};
    HttpClient card(o);  // its transfers go another way through the client
    auto portalClient = HttpClientFactory::forNapPortal("", "");
    struct Case {
        const char* name;
        std::function<HttpResponse()> call;
        std::chrono::seconds limit;
    };
    const Case cases[] = {
        {"get", [&] { return client.get(portalUrl + "/hop/0"); }, 1s},
        {"postRaw through 307s", [&] { return client.postRaw(portalUrl + "/post/0", "filing", "text/plain"); }, 1s},
        {"the card's get, tried again on the time left",
         [&] {
             EXPECT_EQ(card.get(portalUrl + "/warm").status, 200);
             fault.pullCard();
             fault.putCardBack();
             return card.get(portalUrl + "/pulled");
         },
         2s},
        {"getFresh's own ten seconds", [&] { return portalClient->getFresh(portalUrl + "/slow/0"); }, 10s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        const HttpResponse r = c.call();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * c.limit);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.error.rfind(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT), 0), 0u) << r.error;
    }
    EXPECT_TRUE(log.contains("HttpClient: the card's sessions are gone"));
}
