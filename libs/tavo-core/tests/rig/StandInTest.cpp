#include <curl/curl.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <thread>

#include "support/StandIn.h"
#include "support/TestPki.h"

using namespace tavo::test;

namespace {

// A bare libcurl client, independent of the library's, talking to the
// stand-in under a production host name.
struct Fetch {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string headers;
};

size_t append(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

using CurlPtr = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using SlistPtr = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

Fetch perform(CURL* h, const StandIn& s, const std::string& url, const IssuedCert* clientCert = nullptr,
              const char* postBody = nullptr) {
    Fetch f;
    SlistPtr connectTo(curl_slist_append(nullptr, s.connectToEntries({"portal.nra.bg"}).c_str()), &curl_slist_free_all);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECT_TO, connectTo.get());
    curl_easy_setopt(h, CURLOPT_CAINFO, TestPki::instance().caCertFile().c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &append);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &f.body);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &append);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &f.headers);
    if (clientCert) {
        curl_easy_setopt(h, CURLOPT_SSLCERT, clientCert->certFile.c_str());
        curl_easy_setopt(h, CURLOPT_SSLKEY, clientCert->keyFile.c_str());
    }
    if (postBody)
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, postBody);
    else
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    f.code = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &f.status);
    return f;
}

}  // namespace

TEST(StandIn, AnswersScriptedRoutesAndJournalsWhatCrossedTheWire) {
    StandIn s;
    Reply r = Reply::text("hello", 201);
    r.headers = {{"X-One", "1"}, {"X-One", "2"}};
    r.setCookies = {"SID=abc; Path=/; Secure", "T=1"};
    s.reply("POST", "/form", r);
    s.onPrefix("GET", "/files/", [](const RecordedRequest& q) { return Reply::text("file " + q.path); });

    CurlPtr h(curl_easy_init(), &curl_easy_cleanup);
    Fetch post = perform(h.get(), s, "https://portal.nra.bg/form?a=1&b=2", nullptr, "x=y");
    ASSERT_EQ(post.code, CURLE_OK) << curl_easy_strerror(post.code);
    EXPECT_EQ(post.status, 201);
    EXPECT_EQ(post.body, "hello");
    EXPECT_NE(post.headers.find("X-One: 1\r\nX-One: 2\r\n"), std::string::npos) << post.headers;
    EXPECT_NE(post.headers.find("Set-Cookie: SID=abc; Path=/; Secure\r\n"), std::string::npos);
    EXPECT_NE(post.headers.find("Set-Cookie: T=1\r\n"), std::string::npos);

    Fetch file = perform(h.get(), s, "https://portal.nra.bg/files/a.txt");
    EXPECT_EQ(file.body, "file /files/a.txt");
    Fetch missing = perform(h.get(), s, "https://portal.nra.bg/nothing");
    EXPECT_EQ(missing.status, 404);

    auto all = s.journal().all();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].method, "POST");
    EXPECT_EQ(all[0].path, "/form");
    EXPECT_EQ(all[0].query, "a=1&b=2");
    EXPECT_EQ(all[0].target, "/form?a=1&b=2");
    EXPECT_EQ(all[0].body, "x=y");
    EXPECT_EQ(all[0].header("host"), "portal.nra.bg");
    EXPECT_FALSE(all[0].hasHeader("REMOTE_ADDR"));
    EXPECT_EQ(s.journal().paths(), (std::vector<std::string>{"/form", "/files/a.txt", "/nothing"}));
    EXPECT_EQ(s.journal().connectionCount(), 1u);
    EXPECT_EQ(all[0].clientSubject, "");
}

TEST(StandIn, SequencesRedirectsAndLaterRoutesWin) {
    StandIn s;
    s.replySequence("GET", "/seq", {Reply::text("one"), Reply::text("two")});
    s.reply("GET", "/a", Reply::redirect("/b"));
    s.reply("GET", "/b", Reply::text("old"));
    s.reply("GET", "/b", Reply::text("new"));
    CurlPtr h(curl_easy_init(), &curl_easy_cleanup);
    std::vector<std::string> seq;
    for (int i = 0; i < 3; ++i) seq.push_back(perform(h.get(), s, "https://portal.nra.bg/seq").body);
    EXPECT_EQ(seq, (std::vector<std::string>{"one", "two", "two"}));
    curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
    EXPECT_EQ(perform(h.get(), s, "https://portal.nra.bg/a").body, "new");
}

TEST(StandIn, RequiresAClientCertificateFromTheTestCaAndRecordsItsSubject) {
    StandIn s(StandIn::Options{StandIn::ClientCert::Require, false});
    s.reply("GET", "/", Reply::text("in"));
    IssuedCert client = TestPki::instance().issueClient("Stand-in Client", "client@example.com");

    CurlPtr anonymous(curl_easy_init(), &curl_easy_cleanup);
    Fetch refused = perform(anonymous.get(), s, "https://portal.nra.bg/");
    EXPECT_NE(refused.code, CURLE_OK);
    EXPECT_EQ(s.journal().size(), 0u);

    CurlPtr h(curl_easy_init(), &curl_easy_cleanup);
    Fetch ok = perform(h.get(), s, "https://portal.nra.bg/", &client);
    ASSERT_EQ(ok.code, CURLE_OK) << curl_easy_strerror(ok.code);
    EXPECT_EQ(ok.body, "in");
    EXPECT_EQ(s.journal().clientSubjectOn("/"), client.subject);
}

TEST(StandIn, CountsNewConnectionsAndCutsBodiesShort) {
    StandIn s;
    Reply cut = Reply::text(std::string(1000, 'x'));
    cut.cutAfter = 100;
    s.reply("GET", "/cut", cut);
    s.reply("GET", "/", Reply::text("ok"));
    CurlPtr h(curl_easy_init(), &curl_easy_cleanup);
    perform(h.get(), s, "https://portal.nra.bg/");
    perform(h.get(), s, "https://portal.nra.bg/");
    curl_easy_setopt(h.get(), CURLOPT_FRESH_CONNECT, 1L);
    perform(h.get(), s, "https://portal.nra.bg/");
    EXPECT_EQ(s.journal().connectionCount(), 2u);

    Fetch f = perform(h.get(), s, "https://portal.nra.bg/cut");
    EXPECT_EQ(f.code, CURLE_PARTIAL_FILE) << curl_easy_strerror(f.code);
    EXPECT_EQ(f.body.size(), 100u);
}

TEST(StandIn, UntrustedCertificateFailsVerification) {
    StandIn s(StandIn::Options{StandIn::ClientCert::None, true});
    CurlPtr h(curl_easy_init(), &curl_easy_cleanup);
    EXPECT_EQ(perform(h.get(), s, "https://portal.nra.bg/").code, CURLE_PEER_FAILED_VERIFICATION);
}

TEST(StandIn, RoutesHostsThroughTheEnvironmentAndRestoresIt) {
    EXPECT_EQ(mergeConnectTo("a:443:127.0.0.1:1,b:443:127.0.0.1:1", "b:443:127.0.0.1:9"),
              "b:443:127.0.0.1:9,a:443:127.0.0.1:1");
    EXPECT_EQ(mergeConnectTo("", "b:443:127.0.0.1:9"), "b:443:127.0.0.1:9");
    const std::string before = std::getenv("TAVO_TEST_CONNECT_TO");
    {
        StandIn s;
        s.route({"portal.nra.bg"});
        std::string now = std::getenv("TAVO_TEST_CONNECT_TO");
        EXPECT_EQ(now.rfind("portal.nra.bg:443:127.0.0.1:" + std::to_string(s.port()) + ",", 0), 0u) << now;
        EXPECT_EQ(now.find("portal.nra.bg:443:127.0.0.1:1,"), std::string::npos) << now;
        EXPECT_NE(now.find("login.nra.bg:443:127.0.0.1:1"), std::string::npos) << now;
        EXPECT_EQ(std::string(std::getenv("TAVO_TEST_CA_FILE")), TestPki::instance().caCertFile().string());
    }
    EXPECT_EQ(std::string(std::getenv("TAVO_TEST_CONNECT_TO")), before);
    EXPECT_EQ(std::getenv("TAVO_TEST_CA_FILE"), nullptr);
}

TEST(StandIn, StopEndsAPendingDelay) {
    StandIn s;
    std::promise<void> arrived;
    s.on("GET", "/slow", [&arrived](const RecordedRequest&) {
        arrived.set_value();
        Reply slow = Reply::text("late");
        slow.delay = std::chrono::minutes(10);
        return slow;
    });
    Fetch fetch;
    std::thread client([&] {
        CurlPtr h(curl_easy_init(), &curl_easy_cleanup);
        fetch = perform(h.get(), s, "https://portal.nra.bg/slow");
        try {
            arrived.set_value();  // the request never reached the handler: do not leave the test waiting
        } catch (const std::future_error&) {
        }
    });
    arrived.get_future().wait();  // the handler now waits out its delay
    s.stop();                     // must return although the handler still waits
    client.join();
    EXPECT_NE(fetch.body, "late");
    EXPECT_EQ(s.journal().paths(), (std::vector<std::string>{"/slow"}));
}
