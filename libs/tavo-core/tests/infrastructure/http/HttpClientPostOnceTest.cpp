// A server that reads a POST whole and then drops the connection without an
// answer. libcurl resends a request whose reused connection died that way;
// a filing must reach the agency at most once, and its caller must learn
// that it may have arrived.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "infrastructure/http/HttpClient.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;

TEST(PostOnce, APostWhoseAnswerIsLostArrivesOnceAndIsAnUnknownOutcome) {
    const std::string portalUrl = "https://portal.nra.bg", filing = "declaration=the%20whole%20filing";
    StandIn portal;
    portal.route({"portal.nra.bg"});
    portal.reply("GET", "/warm", Reply::text("a connection to reuse"));
    portal.reply("POST", "/take", Reply::hangUpAfterReading());
    portal.reply("POST", "/file307", Reply::redirect("/take", 307));
    HttpClient client({});
    const std::pair<const char*, std::function<HttpResponse()>> cases[] = {
        {"postRaw on a warm client", [&] { return client.postRaw(portalUrl + "/take", filing, "text/plain"); }},
        {"postForm through a 307",
         [&] {
             return client.postForm(portalUrl + "/file307", {{"declaration", "the whole filing"}});
         }},
    };
    for (const auto& [name, post] : cases) {
        SCOPED_TRACE(name);
        portal.journal().clear();
        ASSERT_EQ(client.get(portalUrl + "/warm").status, 200);
        const HttpResponse r = post();
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.error.ends_with(std::string(" — ") + kLostPostAnswer)) << r.error;
        EXPECT_TRUE(r.outcomeUnknown);
        // The body arrived once, and every POST hop had a connection of its own.
        std::size_t bodies = 0;
        std::map<std::uint64_t, int> uses;
        for (const RecordedRequest& q : portal.journal().all()) {
            bodies += q.path == "/take" && q.body == filing;
            ++uses[q.connectionId];
        }
        EXPECT_EQ(bodies, 1u);
        for (const RecordedRequest& q : portal.journal().all())
            EXPECT_TRUE(q.method != "POST" || uses[q.connectionId] == 1) << q.path;
    }
    // Refused before its body went out (the test API host is a closed port):
    // an ordinary failure.
    const HttpResponse refused = client.postRaw("https://api-test.nra.bg/x", filing, "text/plain");
    EXPECT_EQ(refused.error, "Couldn't connect to server");
    EXPECT_FALSE(refused.outcomeUnknown);
}
