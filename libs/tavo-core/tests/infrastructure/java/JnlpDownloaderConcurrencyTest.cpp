// The downloader keeps no state between calls: installations into different
// folders may run at once (under ThreadSanitizer in CI).
#include <gtest/gtest.h>

#include <thread>

#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/java/JnlpDownloader.h"
#include "support/StandIn.h"
#include "support/TempDir.h"
#include "support/TestArchives.h"

namespace {

using tavo::stampit::JnlpDownloader;
using tavo::test::Reply;
using tavo::test::StandIn;
using tavo::test::TempDir;

TEST(JnlpDownloaderConcurrency, ParallelInstallationsIntoSeparateFolders) {
    StandIn portal;
    portal.route({tavo::core::infra::nap::kPortalHost});
    std::string lib;
    for (int i = 0; lib.size() < 100000; ++i) lib += "block " + std::to_string(i) + "\n";
    const std::string applet = tavo::test::makeZip({{"a.class", "applet"}});
    const std::string native = tavo::test::makeZip({{"native/libvatclient.dylib", lib, "deflate"}});
    portal.reply(
        "GET", "/ls/java/stampitls-vat.jnlp",
        Reply::text("<jnlp><resources><jar href=\"a.jar\"/><nativelib href=\"native/n.jar\"/></resources></jnlp>"));
    portal.reply("GET", "/ls/a.jar", Reply::text(applet, 200, "application/java-archive"));
    portal.reply("GET", "/ls/native/n.jar", Reply::text(native, 200, "application/java-archive"));

    constexpr int kThreads = 4;
    std::vector<std::unique_ptr<TempDir>> dirs;
    for (int i = 0; i < kThreads; ++i) dirs.push_back(std::make_unique<TempDir>("tavo-jnlp-par"));
    std::vector<size_t> archives(kThreads);
    std::vector<std::string> libraries(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            archives[i] = JnlpDownloader::downloadAll(dirs[i]->str(), nullptr).size();
            libraries[i] = JnlpDownloader::downloadNativeLib("native/n.jar", "libvatclient.dylib",
                                                             (dirs[i]->path() / "native").string(), nullptr);
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(archives[i], 2u);
        ASSERT_FALSE(libraries[i].empty());
        EXPECT_EQ(tavo::test::readFile(libraries[i]), lib);
    }
}

}  // namespace
