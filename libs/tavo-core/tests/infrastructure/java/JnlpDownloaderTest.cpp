// Applet downloads against the portal stand-in: the manifest, the archives,
// the anonymous fallback, and the native library, with what reaches the
// cache folder checked byte for byte.
#include "infrastructure/java/JnlpDownloader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapEndpoints.h"
#include "support/LogCapture.h"
#include "support/StandIn.h"
#include "support/TempDir.h"
#include "support/TestArchives.h"

namespace {

namespace fs = std::filesystem;
namespace nap = tavo::core::infra::nap;
using tavo::core::infra::http::HttpClient;
using tavo::core::infra::http::HttpClientFactory;
using tavo::stampit::JnlpDownloader;
using tavo::test::ArchiveFile;
using tavo::test::LogCapture;
using tavo::test::makeZip;
using tavo::test::readFile;
using tavo::test::Reply;
using tavo::test::StandIn;
using tavo::test::TempDir;

constexpr const char* kManifestPath = "/ls/java/stampitls-vat.jnlp";
constexpr const char* kNativePath = "/ls/native/vatclient-darwin-aarch64.jar";
constexpr const char* kNativeHref = "native/vatclient-darwin-aarch64.jar";
constexpr const char* kLibName = "libvatclient.dylib";
constexpr const char* kAnonymousAgent = "TavoAgentC/0.1";
constexpr const char* kArchiveType = "application/java-archive";

const std::string kManifest = R"(<?xml version="1.0" encoding="utf-8"?>
<jnlp spec="1.0+" codebase="https://portal.nra.bg/ls" href="java/stampitls-vat.jnlp">
  <information><title>StampIT VAT</title></information>
  <resources>
    <j2se version="1.8+"/>
    <jar href="stampitls-vat.jar" main="true" size="1000"/>
    <jar href="lib/bcprov.jar"/>
  </resources>
  <resources os="Windows"><nativelib href="native/vatclient-win-x64.jar"/></resources>
  <resources os="Mac\ OS\ X" arch="x86_64"><nativelib href="native/vatclient-darwin-x86_64.jar"/></resources>
  <resources os="Mac\ OS\ X" arch="aarch64"><nativelib href="native/vatclient-darwin-aarch64.jar"/></resources>
  <applet-desc main-class="bg.nra.stampit.VatApplet" name="vat" width="1" height="1"/>
</jnlp>
)";

std::string libraryBytes() {
    std::string s;
    for (int i = 0; s.size() < 150000; ++i) s += "\xcf\xfa\xed\xfe segment " + std::to_string(i * 7919 % 1000) + "\n";
    return s;
}

std::string portalUrl(const std::string& path) {
    return std::string(nap::kPortalBase) + path;
}

struct JnlpDownloads : ::testing::Test {
    StandIn portal;
    TempDir cache{"tavo-jnlp"};
    LogCapture log;
    std::unique_ptr<HttpClient> client;
    std::vector<std::string> fetched;
    std::map<std::string, std::string> archives;  // path -> bytes

    void SetUp() override {
        portal.route({nap::kPortalHost});
        client = HttpClientFactory::forNapPortal("", "");
        portal.reply("GET", kManifestPath, Reply::text(kManifest, 200, "application/x-java-jnlp-file"));
        archives["/ls/stampitls-vat.jar"] = makeZip({{"bg/nra/stampit/VatApplet.class", "\xca\xfe\xba\xbe applet"}});
        archives["/ls/lib/bcprov.jar"] = makeZip({{"org/bc/Provider.class", "\xca\xfe\xba\xbe provider"}});
        archives[kNativePath] = makeZip({{"native/libvatclient.dylib", libraryBytes(), "deflate"}});
        for (const auto& [path, bytes] : archives) portal.reply("GET", path, Reply::text(bytes, 200, kArchiveType));
    }

    // The portal session's part, played by a client on the stand-in.
    JnlpDownloader::Fetcher sessionFetcher() {
        return [this](const std::string& url) {
            fetched.push_back(url);
            return client->downloadBinary(url);
        };
    }
    JnlpDownloader::Fetcher emptyFetcher() {
        return [this](const std::string& url) {
            fetched.push_back(url);
            return std::vector<uint8_t>{};
        };
    }

    std::string cached(const std::string& name) const { return (cache.path() / name).string(); }
    // Every file in the cache folder, temporary ones included.
    std::set<std::string> cacheListing() const {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(cache.path()))
            names.insert(fs::relative(e.path(), cache.path()).string());
        return names;
    }
    size_t requestsOn(const std::string& path) const {
        size_t n = 0;
        for (const auto& r : portal.journal().all()) n += r.path == path;
        return n;
    }
};

TEST_F(JnlpDownloads, SessionFetcherBringsManifestAndOwnPlatformsArchives) {
    auto written = JnlpDownloader::downloadAll(cache.str(), sessionFetcher());

    EXPECT_EQ(written, (std::vector<std::string>{cached("stampitls-vat.jar"), cached("bcprov.jar"),
                                                 cached("vatclient-darwin-aarch64.jar")}));
    EXPECT_EQ(readFile(cached("stampitls-vat.jar")), archives["/ls/stampitls-vat.jar"]);
    EXPECT_EQ(readFile(cached("bcprov.jar")), archives["/ls/lib/bcprov.jar"]);
    EXPECT_EQ(readFile(cached("vatclient-darwin-aarch64.jar")), archives[kNativePath]);
    EXPECT_EQ(cacheListing(),
              (std::set<std::string>{"stampitls-vat.jar", "bcprov.jar", "vatclient-darwin-aarch64.jar"}));

    // Bytes from the fetcher are never followed by an anonymous request.
    EXPECT_EQ(fetched, (std::vector<std::string>{portalUrl(kManifestPath), portalUrl("/ls/stampitls-vat.jar"),
                                                 portalUrl("/ls/lib/bcprov.jar"), portalUrl(kNativePath)}));
    EXPECT_EQ(portal.journal().paths(),
              (std::vector<std::string>{kManifestPath, "/ls/stampitls-vat.jar", "/ls/lib/bcprov.jar", kNativePath}));
    for (const auto& r : portal.journal().all()) EXPECT_NE(r.header("User-Agent"), kAnonymousAgent) << r.path;
    EXPECT_TRUE(
        log.contains("JnlpDownloader: fetching https://portal.nra.bg/ls/java/stampitls-vat.jnlp (authenticated)"));
    EXPECT_TRUE(log.contains("JnlpDownloader: manifest codebase=https://portal.nra.bg/ls jars=3"));
    EXPECT_TRUE(log.contains("JnlpDownloader: downloaded 3 JAR(s) to " + cache.str()));
}

TEST_F(JnlpDownloads, EmptyFetcherResultFallsBackToAnonymous) {
    auto written = JnlpDownloader::downloadAll(cache.str(), emptyFetcher());

    EXPECT_EQ(written.size(), 3u);
    EXPECT_EQ(fetched.size(), 4u);
    ASSERT_EQ(portal.journal().size(), 4u);
    for (const auto& r : portal.journal().all()) {
        EXPECT_EQ(r.header("User-Agent"), kAnonymousAgent) << r.path;
        EXPECT_FALSE(r.hasHeader("Cookie")) << r.path;
        EXPECT_EQ(r.clientSubject, "") << r.path;
    }
    EXPECT_TRUE(
        log.contains("JnlpDownloader: session fetch returned 0 bytes for "
                     "https://portal.nra.bg/ls/java/stampitls-vat.jnlp; trying anonymous fallback"));
}

TEST_F(JnlpDownloads, NoFetcherIsAnonymous) {
    auto written = JnlpDownloader::downloadAll(cache.str(), nullptr);
    EXPECT_EQ(written.size(), 3u);
    EXPECT_TRUE(log.contains("JnlpDownloader: fetching https://portal.nra.bg/ls/java/stampitls-vat.jnlp (anonymous)"));
    EXPECT_FALSE(log.contains("session fetch"));
}

// One archive answered badly: it is skipped, nothing of it reaches the
// cache, and the others still arrive.
TEST_F(JnlpDownloads, BadArchiveAnswersCacheNothing) {
    const std::string path = "/ls/lib/bcprov.jar";
    const std::string url = portalUrl(path);
    Reply cut = Reply::text(archives[path], 200, kArchiveType);
    cut.cutAfter = archives[path].size() / 2;
    struct Case {
        const char* name;
        Reply reply;
        std::string logLine;
        size_t requests;
    };
    const Case cases[] = {
        {"204 without a body", Reply::text("", 204), "", 1},
        {"404", Reply::text("not here", 404), "JnlpDownloader: HTTP 404 for " + url, 1},
        {"login page instead of the archive", Reply::text("<html><body>Вход</body></html>"),
         "JnlpDownloader: " + url + " is not a Java archive (", 1},
        {"redirect loop", Reply::redirect(url), "JnlpDownloader: curl error on " + url + ": Number of redirects hit",
         11},
        {"redirect to plain http", Reply::redirect("http://portal.nra.bg/ls/lib/bcprov.jar"),
         "JnlpDownloader: curl error on " + url + ": ", 1},
        {"transfer cut short", cut, "JnlpDownloader: curl error on " + url + ": ", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("tavo-jnlp-case");
        tavo::test::writeFile(dir / "bcprov.jar", "old copy");
        portal.journal().clear();
        portal.reply("GET", path, c.reply);

        auto written = JnlpDownloader::downloadAll(dir.str(), nullptr);

        EXPECT_EQ(written, (std::vector<std::string>{(dir / "stampitls-vat.jar").string(),
                                                     (dir / "vatclient-darwin-aarch64.jar").string()}));
        EXPECT_EQ(readFile(dir / "bcprov.jar"), "old copy");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
        EXPECT_EQ(requestsOn(path), c.requests);
        EXPECT_TRUE(log.contains("JnlpDownloader: failed to fetch " + url) || log.contains("not a Java archive"));
        if (!c.logLine.empty()) {
            EXPECT_TRUE(log.contains(c.logLine)) << log.text();
        }
    }
    // A 204 is a failure without a line of its own.
    EXPECT_FALSE(log.contains("HTTP 204"));
}

TEST_F(JnlpDownloads, SessionFetchedErrorPageIsNotCached) {
    portal.reply("GET", "/ls/lib/bcprov.jar", Reply::text("<html>Session expired</html>", 200));
    auto written = JnlpDownloader::downloadAll(cache.str(), sessionFetcher());
    EXPECT_EQ(written.size(), 2u);
    EXPECT_FALSE(fs::exists(cached("bcprov.jar")));
    EXPECT_EQ(cacheListing().size(), 2u);
}

TEST_F(JnlpDownloads, PlainHttpAddressesAreRefused) {
    // Should a refusal ever fail, port 80 must not reach the agency either.
    const char* current = std::getenv("TAVO_TEST_CONNECT_TO");
    tavo::test::ScopedEnv closed(
        "TAVO_TEST_CONNECT_TO",
        tavo::test::mergeConnectTo(current ? current : "", "portal.nra.bg:80:127.0.0.1:1").c_str());
    portal.reply("GET", kManifestPath,
                 Reply::text("<jnlp><jar href=\"http://portal.nra.bg/ls/plain.jar\"/>"
                             "<jar href=\"stampitls-vat.jar\"/></jnlp>"));
    auto written = JnlpDownloader::downloadAll(cache.str(), sessionFetcher());
    EXPECT_EQ(written, std::vector<std::string>{cached("stampitls-vat.jar")});
    EXPECT_EQ(fetched, (std::vector<std::string>{portalUrl(kManifestPath), portalUrl("/ls/stampitls-vat.jar")}));
    EXPECT_TRUE(log.contains("JnlpDownloader: refusing http://portal.nra.bg/ls/plain.jar"));
    EXPECT_EQ(portal.journal().size(), 2u);
}

TEST_F(JnlpDownloads, OtherHostGetsNeitherFetcherNorCard) {
    StandIn other(StandIn::Options{StandIn::ClientCert::Request, false});
    other.route({nap::kRestApiHost});
    const std::string otherUrl = std::string(nap::kRestApiProductionBase) + "/x/other.jar";
    const std::string otherJar = makeZip({{"o.class", "other"}});
    other.reply("GET", "/x/other.jar", Reply::text(otherJar, 200, kArchiveType));
    portal.reply("GET", kManifestPath, Reply::text("<jnlp><jar href=\"" + otherUrl + "\"/></jnlp>"));

    auto written = JnlpDownloader::downloadAll(cache.str(), sessionFetcher());

    EXPECT_EQ(written, std::vector<std::string>{cached("other.jar")});
    EXPECT_EQ(readFile(cached("other.jar")), otherJar);
    EXPECT_EQ(fetched, std::vector<std::string>{portalUrl(kManifestPath)});
    ASSERT_EQ(other.journal().size(), 1u);
    EXPECT_EQ(other.journal().last()->clientSubject, "");
    EXPECT_EQ(other.journal().last()->header("User-Agent"), kAnonymousAgent);
}

TEST_F(JnlpDownloads, ArchiveAddressesFollowTheCodebase) {
    struct Case {
        const char* name;
        std::string jnlpOpen;
        std::string href;
        std::string path;
    };
    const Case cases[] = {
        {"no codebase", "<jnlp>", "lib/a.jar", "/ls/lib/a.jar"},
        {"codebase with a slash", "<jnlp codebase=\"https://portal.nra.bg/ls/\">", "lib/a.jar", "/ls/lib/a.jar"},
        {"href with a slash", "<jnlp codebase=\"https://portal.nra.bg/applet\">", "/lib/a.jar", "/applet/lib/a.jar"},
        {"absolute href", "<jnlp codebase=\"https://portal.nra.bg/ls\">", "https://portal.nra.bg/abs/a.jar",
         "/abs/a.jar"},
    };
    const std::string jar = makeZip({{"a.class", "a"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        portal.journal().clear();
        portal.reply("GET", c.path, Reply::text(jar, 200, kArchiveType));
        portal.reply("GET", kManifestPath, Reply::text(c.jnlpOpen + "<jar href=\"" + c.href + "\"/></jnlp>"));
        EXPECT_EQ(JnlpDownloader::downloadAll(cache.str(), sessionFetcher()),
                  std::vector<std::string>{cached("a.jar")});
        EXPECT_EQ(portal.journal().paths(), (std::vector<std::string>{kManifestPath, c.path}));
    }
}

TEST_F(JnlpDownloads, ManifestFailures) {
    portal.reply("GET", kManifestPath, Reply::text("gone", 404));
    EXPECT_TRUE(JnlpDownloader::downloadAll(cache.str(), nullptr).empty());
    EXPECT_TRUE(log.contains("JnlpDownloader: failed to fetch JNLP manifest — likely not logged in to portal.nra.bg"));

    const std::string page = "<html>" + std::string(594, 'x') + "</h>";
    ASSERT_EQ(page.size(), 604u);
    portal.reply("GET", kManifestPath, Reply::text(page));
    EXPECT_TRUE(JnlpDownloader::downloadAll(cache.str(), sessionFetcher()).empty());
    EXPECT_TRUE(
        log.contains("JnlpDownloader: manifest parsed 0 jar entries. Body preview: " + page.substr(0, 500) + "...\n"));
    EXPECT_TRUE(cacheListing().empty());
}

TEST_F(JnlpDownloads, DownloadOneAbsoluteAndRelative) {
    const std::string jar = makeZip({{"a.class", "a"}});
    portal.reply("GET", "/x/a.jar", Reply::text(jar, 200, kArchiveType));
    portal.reply("GET", "/ls/lib/a.jar", Reply::text(jar + "2", 200, kArchiveType));

    EXPECT_EQ(JnlpDownloader::downloadOne("https://portal.nra.bg/x/a.jar", cache.str(), sessionFetcher()),
              cached("a.jar"));
    EXPECT_EQ(readFile(cached("a.jar")), jar);
    EXPECT_EQ(JnlpDownloader::downloadOne("lib/a.jar", cache.str(), sessionFetcher()), cached("a.jar"));
    EXPECT_EQ(readFile(cached("a.jar")), jar + "2");
    EXPECT_EQ(portal.journal().paths(), (std::vector<std::string>{"/x/a.jar", "/ls/lib/a.jar"}));
    EXPECT_TRUE(
        log.contains("JnlpDownloader: wrote " + cached("a.jar") + " (" + std::to_string(jar.size()) + " bytes)"));
}

// Which addresses the card-presenting fetcher may see: the portal's host on
// its https port, however the address spells it, and nothing else.
TEST_F(JnlpDownloads, OnlyPortalAddressesReachTheFetcher) {
    // The non-standard port must not reach the agency if a check ever fails.
    const char* current = std::getenv("TAVO_TEST_CONNECT_TO");
    tavo::test::ScopedEnv closed(
        "TAVO_TEST_CONNECT_TO",
        tavo::test::mergeConnectTo(current ? current : "",
                                   "portal.nra.bg:8443:127.0.0.1:1,portal.nra.bg:80:127.0.0.1:1")
            .c_str());
    enum class Route { Fetcher, Anonymous, Refused };
    struct Case {
        std::string url;
        Route route;
    };
    const Case cases[] = {
        {"https://portal.nra.bg/ls/a.jar", Route::Fetcher},
        {"https://PORTAL.NRA.BG/ls/a.jar", Route::Fetcher},
        {"HTTPS://portal.nra.bg/ls/a.jar", Route::Fetcher},
        {"https://portal.nra.bg:443/ls/a.jar", Route::Fetcher},
        {"https://portal.nra.bg:8443/ls/a.jar", Route::Anonymous},
        {"https://portal.nra.bg@api.nra.bg/ls/a.jar", Route::Anonymous},
        {"https://api.nra.bg/ls/a.jar", Route::Anonymous},
        {"https://login.nra.bg/ls/a.jar", Route::Anonymous},
        {"http://portal.nra.bg/ls/a.jar", Route::Refused},
        {"ftp://portal.nra.bg/ls/a.jar", Route::Refused},
        {"portal.nra.bg/ls/a.jar", Route::Refused},
        {"", Route::Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        std::vector<std::string> asked;
        JnlpDownloader::Fetcher fetcher = [&](const std::string& url) {
            asked.push_back(url);
            return std::vector<uint8_t>{'P', 'K', 3, 4};
        };
        std::vector<uint8_t> out{'s', 't', 'a', 'l', 'e'};
        const bool ok = JnlpDownloader::doFetch(fetcher, c.url, out);
        EXPECT_EQ(ok, c.route == Route::Fetcher);
        EXPECT_EQ(asked.size(), c.route == Route::Fetcher ? 1u : 0u);
        EXPECT_EQ(out.size(), c.route == Route::Fetcher ? 4u : 0u);
        if (c.route == Route::Anonymous) {
            EXPECT_TRUE(log.contains("JnlpDownloader: " + c.url + " is not on portal.nra.bg; fetching it anonymously"));
        }
        if (c.route == Route::Refused) {
            EXPECT_TRUE(log.contains("JnlpDownloader: refusing " + c.url + " — not an https address"));
        }
    }
    EXPECT_TRUE(portal.journal().all().empty());
}

TEST_F(JnlpDownloads, ThrowingFetcherFallsBackToAnonymous) {
    std::vector<uint8_t> out;
    JnlpDownloader::Fetcher fetcher = [](const std::string&) -> std::vector<uint8_t> {
        throw std::runtime_error("card removed");
    };
    EXPECT_TRUE(JnlpDownloader::doFetch(fetcher, portalUrl("/ls/stampitls-vat.jar"), out));
    EXPECT_EQ(std::string(out.begin(), out.end()), archives["/ls/stampitls-vat.jar"]);
    EXPECT_TRUE(log.contains("JnlpDownloader: session fetch threw: card removed"));
}

// ---- Native library --------------------------------------------------------

TEST_F(JnlpDownloads, NativeLibraryVariants) {
    const std::string lib = libraryBytes();
    const std::string deflated = makeZip({{"native/libvatclient.dylib", lib, "deflate"}});
    struct Case {
        const char* name;
        std::string served;
        bool extracted;
        std::string logLine;
    };
    const Case cases[] = {
        {"stored",
         makeZip({{"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n"}, {"native/LibVATClient.dylib", lib, "store"}}),
         true, "JnlpDownloader: extracted libvatclient.dylib (" + std::to_string(lib.size()) + " bytes)"},
        {"deflated", deflated, true, "JnlpDownloader: wrote "},
        {"unsupported method before a good entry",
         makeZip(
             {{"x86_64/libvatclient.dylib", "intel " + lib, "bzip2"}, {"arm64/libvatclient.dylib", lib, "deflate"}}),
         true, "JnlpDownloader: entry 'x86_64/libvatclient.dylib' uses unsupported compression method 12"},
        {"truncated", deflated.substr(0, deflated.size() * 2 / 3), false,
         "  [vatclient-darwin-aarch64.jar] total 0 entries"},
        {"no such entry", makeZip({{"native/other.dylib", lib}}), false,
         "  [vatclient-darwin-aarch64.jar] native/other.dylib (DEFLATE, " + std::to_string(lib.size()) + " bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("tavo-native");
        const std::string dest = (dir / "native").string();
        portal.reply("GET", kNativePath, Reply::text(c.served, 200, kArchiveType));

        std::string path = JnlpDownloader::downloadNativeLib(kNativeHref, kLibName, dest, sessionFetcher());

        EXPECT_TRUE(log.contains(c.logLine)) << log.text();
        if (c.extracted) {
            EXPECT_EQ(path, (dir / "native" / kLibName).string());
            EXPECT_EQ(readFile(path), lib);
            EXPECT_EQ(std::distance(fs::directory_iterator(dest), fs::directory_iterator()), 1);
        } else {
            EXPECT_EQ(path, "");
            EXPECT_FALSE(fs::exists(dest));
            EXPECT_TRUE(
                log.contains("JnlpDownloader: could not extract libvatclient.dylib from "
                             "native/vatclient-darwin-aarch64.jar — contents:"));
        }
    }
}

TEST_F(JnlpDownloads, FailedExtractionKeepsTheInstalledLibrary) {
    const std::string dest = (cache / "native").string();
    fs::create_directories(dest);
    tavo::test::writeFile(fs::path(dest) / kLibName, "installed");
    std::string broken = makeZip({{"libvatclient.dylib", libraryBytes(), "store"}});
    tavo::test::put32(broken, tavo::test::centralDirectoryOffset(broken) + 16, 0xdeadbeef);  // CRC
    portal.reply("GET", kNativePath, Reply::text(broken, 200, kArchiveType));

    EXPECT_EQ(JnlpDownloader::downloadNativeLib(kNativeHref, kLibName, dest, sessionFetcher()), "");
    EXPECT_EQ(readFile(fs::path(dest) / kLibName), "installed");
    EXPECT_EQ(std::distance(fs::directory_iterator(dest), fs::directory_iterator()), 1);
    EXPECT_TRUE(log.contains("JnlpDownloader: CRC-32 mismatch for 'libvatclient.dylib'"));
}

TEST_F(JnlpDownloads, NativeArchiveFetchFailureIsEmpty) {
    portal.reply("GET", kNativePath, Reply::text("", 500));
    EXPECT_EQ(JnlpDownloader::downloadNativeLib(kNativeHref, kLibName, (cache / "native").string(), nullptr), "");
    EXPECT_TRUE(log.contains("JnlpDownloader: HTTP 500 for https://portal.nra.bg" + std::string(kNativePath)));
    EXPECT_FALSE(log.contains("extracting"));
}

// A download of a quarter of a megabyte that unpacks to 128 MiB, served as it
// is and with its declared size lowered: memory stays bounded either way.
TEST_F(JnlpDownloads, ArchiveBombKeepsMemoryBounded) {
    constexpr uint64_t kBombSize = 128ull << 20;
    constexpr uint64_t kAllowedGrowth = 64ull << 20;
    const std::string bomb = tavo::test::makeZeroBomb("native/libvatclient.dylib", kBombSize);
    const size_t dir = tavo::test::centralDirectoryOffset(bomb);
    ASSERT_EQ(tavo::test::get32(bomb, dir + 24), kBombSize);
    struct Case {
        const char* name;
        uint32_t declared;
        std::string logLine;
    };
    const Case cases[] = {
        {"declared as it is", static_cast<uint32_t>(kBombSize),
         "JnlpDownloader: entry 'native/libvatclient.dylib' declares 134217728 bytes, more than the 33554432 allowed"},
        {"declared below the limit", 16u << 20, "JnlpDownloader: inflate failed for 'native/libvatclient.dylib'"},
        {"declared empty", 0, "JnlpDownloader: inflate failed for 'native/libvatclient.dylib'"},
    };
    const std::string dest = (cache / "native").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string served = bomb;
        tavo::test::put32(served, dir + 24, c.declared);
        portal.reply("GET", kNativePath, Reply::text(served, 200, kArchiveType));

        const uint64_t before = tavo::test::peakRssBytes();
        std::string path = JnlpDownloader::downloadNativeLib(kNativeHref, kLibName, dest, sessionFetcher());
        const uint64_t growth = tavo::test::peakRssBytes() - before;

        EXPECT_EQ(path, "");
        if (tavo::test::kResidentMemoryIsMeaningful) {
            EXPECT_LT(growth, kAllowedGrowth);
        }
        EXPECT_FALSE(fs::exists(fs::path(dest) / kLibName));
        EXPECT_TRUE(log.contains(c.logLine)) << log.text();
    }
}

// What a manifest may name decides the cache: one archive, one cache name.
TEST_F(JnlpDownloads, CacheNamesComeFromTheHrefsPath) {
    const std::string manifest = R"(<jnlp codebase="https://portal.nra.bg/ls"><resources>
      <jar href="lib/bcprov.jar?v=2#top"/><jar href="stampitls-vat.jar#frag"/></resources></jnlp>)";
    portal.reply("GET", kManifestPath, Reply::text(manifest, 200));
    auto written = JnlpDownloader::downloadAll(cache.str(), sessionFetcher());
    EXPECT_EQ(written, (std::vector<std::string>{cached("bcprov.jar"), cached("stampitls-vat.jar")}));
    EXPECT_EQ(cacheListing(), (std::set<std::string>{"bcprov.jar", "stampitls-vat.jar"}));
    // The address fetched keeps its query.
    ASSERT_FALSE(portal.journal().all().empty());
    EXPECT_EQ(portal.journal().all()[1].target, "/ls/lib/bcprov.jar?v=2");
}

TEST_F(JnlpDownloads, ManifestsThatWouldConfuseTheCacheAreRefused) {
    std::string many;
    for (int i = 0; i < 301; ++i) many += "<jar href=\"lib/a" + std::to_string(i) + ".jar\"/>";
    struct Case {
        std::string jars;
        std::string logLine;
    };
    const Case cases[] = {
        {R"(<jar href="a/VATClientService.jar"/><jar href="b/VATClientService.jar"/>)",
         "JnlpDownloader: manifest refused — 'a/VATClientService.jar' and 'b/VATClientService.jar' would be cached "
         "as the same file VATClientService.jar"},
        {R"(<jar href="LSManager.jar"/><jar href="lib/lsmanager.JAR?v=1"/>)",
         "would be cached as the same file lsmanager.JAR"},
        {many, "JnlpDownloader: manifest refused — it lists 301 resources, more than the 300 allowed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logLine);
        portal.journal().clear();
        portal.reply("GET", kManifestPath, Reply::text("<jnlp><resources>" + c.jars + "</resources></jnlp>", 200));
        EXPECT_TRUE(JnlpDownloader::downloadAll(cache.str(), sessionFetcher()).empty());
        EXPECT_EQ(portal.journal().paths(), std::vector<std::string>{kManifestPath});
        EXPECT_TRUE(cacheListing().empty());
        EXPECT_TRUE(log.contains(c.logLine)) << log.text();
    }
}

TEST_F(JnlpDownloads, OnlyAWholeArchiveInTheCacheIsTrusted) {
    const std::string good = archives["/ls/lib/bcprov.jar"];
    const size_t dir = tavo::test::centralDirectoryOffset(good);
    std::string dataOutside = good;
    tavo::test::put32(dataOutside, dir + 20, 1u << 20);  // compressed size past the end
    std::string countsMore = good;
    tavo::test::put16(countsMore, countsMore.size() - 22 + 10, 2);
    enum Kind { File, Folder, LinkTo, Missing };
    struct Case {
        const char* name;
        Kind kind;
        std::string bytes;
        bool whole;
    };
    const Case cases[] = {
        {"a whole archive", File, good, true},
        {"an empty archive", File, std::string("PK\5\6", 4) + std::string(18, '\0'), true},
        {"cut short", File, good.substr(0, good.size() - 30), false},
        {"an entry's data beyond the end", File, dataOutside, false},
        {"more entries counted than found", File, countsMore, false},
        {"an error page", File, "<html>Session expired</html>", false},
        {"a folder", Folder, "", false},
        {"a link to a whole archive", LinkTo, good, false},
        {"missing", Missing, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir caseDir("tavo-cached");
        const fs::path path = caseDir / "VATClientService.jar";
        const fs::path real = c.kind == LinkTo ? caseDir / "real.jar" : path;
        if (c.kind == File || c.kind == LinkTo) tavo::test::writeFile(real, c.bytes);
        if (c.kind == LinkTo) fs::create_symlink(real, path);
        if (c.kind == Folder) fs::create_directory(path);
        EXPECT_EQ(JnlpDownloader::cachedArchiveIsWhole(path.string()), c.whole);
    }
}

}  // namespace
