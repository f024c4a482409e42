#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "infrastructure/http/HttpClient.h"
#include "support/LogCapture.h"
#include "support/StandIn.h"

using namespace tavo::core::infra::http;
using namespace tavo::test;

namespace {

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace

// Clients built on several threads at once load the process-wide engine once
// and each serve their own requests.
TEST(HttpClientConcurrency, EngineLoadsOnceAndClientsServeTheirOwnThreads) {
    LogCapture log;
    ScopedEnv module("TAVO_PKCS11_MODULE", nullptr);
    StandIn portal;
    portal.route({"portal.nra.bg"});
    portal.on("GET", "/echo", [](const RecordedRequest& r) { return Reply::text(r.query); });

    constexpr int kThreads = 6;
    std::vector<std::string> bodies(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &bodies] {
            HttpClientOptions o;
            if (t % 2 == 0) o.clientCertId = "7:0A0B";
            HttpClient client(o);
            if (t % 2 == 1) bodies[t] = client.get("https://portal.nra.bg/echo?t=" + std::to_string(t)).body;
        });
    }
    for (auto& th : threads) th.join();

    EXPECT_EQ(occurrences(log.text(), "HttpClient: pkcs11 engine loaded from "), 1u);
    for (int t = 1; t < kThreads; t += 2) EXPECT_EQ(bodies[t], "t=" + std::to_string(t));
    EXPECT_EQ(portal.journal().size(), static_cast<std::size_t>(kThreads / 2));
}
