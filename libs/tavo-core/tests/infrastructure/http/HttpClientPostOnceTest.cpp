// A server that reads a POST whole and then drops the connection without an
// answer. libcurl resends a request whose reused connection died that way;
// a filing must reach the agency at most once, and the user must learn that
// it may have arrived.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "infrastructure/http/HttpClient.h"
#include "support/LogCapture.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;

namespace {

const std::string kPortal = "https://portal.nra.bg";
const std::string kFiling = "declaration=the%20whole%20filing";
const std::string kUnknown = std::string(" — ") + kUnknownPostOutcome;

struct PostOnceTest : ::testing::Test {
    StandIn portal;
    LogCapture log;
    PostOnceTest() {
        portal.route({"portal.nra.bg"});
        portal.reply("GET", "/warm", Reply::text("a connection to reuse"));
        portal.reply("POST", "/take", Reply::hangUpAfterReading());
        portal.reply("POST", "/file307", Reply::redirect("/take", 307));
        portal.reply("POST", "/file308", Reply::redirect("/take", 308));
    }

    std::size_t bodiesOn(const std::string& path) const {
        std::size_t n = 0;
        for (const RecordedRequest& r : portal.journal().all()) n += r.path == path && r.body == kFiling;
        return n;
    }
};

}  // namespace

TEST_F(PostOnceTest, APostWhoseAnswerIsLostArrivesOnceAndSaysItMayHaveArrived) {
    HttpClient client({});
    struct Case {
        const char* name;
        std::function<HttpResponse()> post;
    };
    const Case cases[] = {
        {"postRaw on a warm client", [&] { return client.postRaw(kPortal + "/take", kFiling, "text/plain"); }},
        {"postRaw through a 307", [&] { return client.postRaw(kPortal + "/file307", kFiling, "text/plain"); }},
        {"postForm through a 308",
         [&] {
             return client.postForm(kPortal + "/file308", {{"declaration", "the whole filing"}});
         }},
        {"postRawFresh", [&] { return client.postRawFresh(kPortal + "/take", kFiling, "text/plain"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        portal.journal().clear();
        ASSERT_EQ(client.get(kPortal + "/warm").status, 200);
        HttpResponse r = c.post();
        EXPECT_EQ(bodiesOn("/take"), 1u);
        EXPECT_EQ(r.status, 0);
        ASSERT_GT(r.error.size(), kUnknown.size());
        EXPECT_EQ(r.error.substr(r.error.size() - kUnknown.size()), kUnknown) << r.error;
        // Every POST hop had a connection of its own.
        std::map<std::uint64_t, int> uses;
        for (const RecordedRequest& request : portal.journal().all()) ++uses[request.connectionId];
        for (const RecordedRequest& request : portal.journal().all()) {
            if (request.method == "POST") {
                EXPECT_EQ(uses[request.connectionId], 1) << request.path;
            }
        }
    }
    EXPECT_TRUE(log.contains("the outcome is unknown and the request is not repeated"));
}

TEST_F(PostOnceTest, APostRefusedBeforeItsBodyWentOutIsAnOrdinaryFailure) {
    HttpClient client({});
    // The test API host stays at the closed port the test main gives it.
    HttpResponse r = client.postRaw("https://api-test.nra.bg/x", kFiling, "text/plain");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error, "Couldn't connect to server");
}
