// Installation into an empty cache through the logged-in portal session and
// the portal stand-in, then a run of the installed wrapper. Starts Java and
// the runner's thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/Paths.h"
#include "domain/NapSession.h"
#include "infrastructure/java/StampItBridge.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/StampItRig.h"
#include "support/TempDir.h"
#include "support/TestArchives.h"

namespace {

namespace fs = std::filesystem;
using tavo::Paths;
using tavo::core::domain::NapSession;
using tavo::stampit::StampItBridge;
using tavo::test::PortalStandIn;
using tavo::test::readFile;
using tavo::test::RecordedRequest;
using tavo::test::Reply;
using Strings = std::vector<std::string>;

TEST(StampItInstall, EmptyCacheFilledThroughThePortal) {
    tavo::test::PortalCard card;
    PortalStandIn portal;
    tavo::test::UseJdk17 jdk;
    NapSession session;
    session.setIdentity(card.identity());
    session.setPin(card.pin());
    ASSERT_TRUE(session.login()) << session.lastError();

    const Strings jars = {"VATClientService.jar", "SignerService.jar", "LSManager.jar"};
    std::string manifest = "<jnlp codebase=\"https://portal.nra.bg/ls\"><resources>";
    for (const std::string& jar : jars) {
        manifest += "<jar href=\"" + jar + "\"/>";
        const std::string bytes = tavo::test::makeZip({{"bg/nra/" + jar + ".txt", jar}});
        portal.on(PortalStandIn::Host::Portal, "GET", "/ls/" + jar,
                  [bytes](const RecordedRequest&) { return Reply::text(bytes, 200, "application/java-archive"); });
    }
    manifest += "</resources></jnlp>";
    portal.on(PortalStandIn::Host::Portal, "GET", "/ls/java/stampitls-vat.jnlp", [manifest](const RecordedRequest&) {
        return Reply::text(manifest, 200, "application/x-java-jnlp-file");
    });
    const std::string library = "\xcf\xfa\xed\xfe native library of the applet";
    const std::string nativeJar = tavo::test::makeZip({{"META-INF/x", "x"}, {"libvatclient.dylib", library}});
    for (const char* arch : {"x86_64", "aarch64"})
        portal.on(
            PortalStandIn::Host::Portal, "GET", std::string("/ls/native/vatclient-darwin-") + arch + ".jar",
            [nativeJar](const RecordedRequest&) { return Reply::text(nativeJar, 200, "application/java-archive"); });

    StampItBridge bridge;
    Strings asked;
    bridge.setFetcher([&](const std::string& url) {
        asked.push_back(url);
        return session.downloadBinary(url);
    });
    Strings progress;
    ASSERT_TRUE(bridge.ensureInstalled([&](const std::string& p) { progress.push_back(p); }));

    const fs::path root = Paths::stampitRoot();
    for (const std::string& jar : jars) EXPECT_TRUE(fs::exists(root / jar)) << jar;
    EXPECT_EQ(readFile(root / "native" / "libvatclient.dylib"), library);
    EXPECT_TRUE(fs::exists(root / "wrapper" / "TavoVatUploader.class"));
    ASSERT_EQ(asked.size(), 5u);
    EXPECT_EQ(asked.front(), "https://portal.nra.bg/ls/java/stampitls-vat.jnlp");
    EXPECT_EQ(asked.back().rfind("https://portal.nra.bg/ls/native/vatclient-darwin-", 0), 0u) << asked.back();
    EXPECT_EQ(progress, (Strings{"Търсене на Java…", "Сваляне на StampIT библиотеките от НАП…",
                                 "Извличане на native библиотека…", "Готово."}));

    // What was installed runs: the wrapper class loads with the downloaded archives on its class path.
    tavo::test::TempDir vat("tavo-vat");
    tavo::test::WrapperScenario wrapper({"out stat: 1", "exit 0"});
    EXPECT_EQ(bridge.validate(vat.str(), {}), Strings{});
    EXPECT_EQ(wrapper.record().firstInputLine, "DIR:" + vat.str());
}

// A cached archive that is a link, an empty folder or cut short is not
// trusted: the installation downloads it again, under the name the
// installation looks for even when the manifest's href carries a query.
TEST(StampItInstall, UnsoundCachedArchivesAreDownloadedAgain) {
    tavo::test::UseJdk17 jdk;
    tavo::test::seedStampItCache();
    const fs::path root = Paths::stampitRoot();
    const std::string whole = tavo::test::makeZip({{"bg/nra/Whole.class", "\xca\xfe\xba\xbe whole"}});
    tavo::test::writeFile(root / "elsewhere.jar", whole);
    fs::remove(root / "VATClientService.jar");
    fs::create_symlink(root / "elsewhere.jar", root / "VATClientService.jar");
    fs::remove(root / "SignerService.jar");
    fs::create_directory(root / "SignerService.jar");
    tavo::test::writeFile(root / "LSManager.jar", whole.substr(0, whole.size() - 10));

    const std::string manifest =
        "<jnlp codebase=\"https://portal.nra.bg/ls\"><resources><jar href=\"VATClientService.jar?v=2\"/>"
        "<jar href=\"SignerService.jar\"/><jar href=\"lib/LSManager.jar#main\"/></resources></jnlp>";
    Strings asked;
    StampItBridge bridge;
    // The portal session's part: the manifest and whole archives.
    bridge.setFetcher([&](const std::string& url) {
        asked.push_back(url);
        const std::string& body = url.ends_with(".jnlp") ? manifest : whole;
        return std::vector<uint8_t>(body.begin(), body.end());
    });
    ASSERT_TRUE(bridge.ensureInstalled({}));
    EXPECT_EQ(asked, (Strings{"https://portal.nra.bg/ls/java/stampitls-vat.jnlp",
                              "https://portal.nra.bg/ls/VATClientService.jar?v=2",
                              "https://portal.nra.bg/ls/SignerService.jar",
                              "https://portal.nra.bg/ls/lib/LSManager.jar#main"}));
    for (const char* jar : {"VATClientService.jar", "SignerService.jar", "LSManager.jar"}) {
        SCOPED_TRACE(jar);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(root / jar)));
        EXPECT_EQ(readFile(root / jar), whole);
    }
    // Now whole: the next check trusts the cache and fetches nothing.
    asked.clear();
    ASSERT_TRUE(bridge.ensureInstalled({}));
    EXPECT_TRUE(asked.empty());
}

}  // namespace
