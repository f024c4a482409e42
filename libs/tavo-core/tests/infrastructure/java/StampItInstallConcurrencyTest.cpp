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

}  // namespace
