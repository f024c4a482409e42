// The logged-in portal session as the fetcher: the manifest and archives
// travel with the session's cookies, and an address on another host is
// fetched without the session, so the smart card is never offered there.
#include <gtest/gtest.h>

#include "domain/NapSession.h"
#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/java/JnlpDownloader.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/TempDir.h"
#include "support/TestArchives.h"

namespace {

namespace nap = tavo::core::infra::nap;
using tavo::core::domain::NapSession;
using tavo::stampit::JnlpDownloader;
using tavo::test::makeZip;
using tavo::test::PortalCard;
using tavo::test::PortalStandIn;
using tavo::test::readFile;
using tavo::test::RecordedRequest;
using tavo::test::Reply;
using tavo::test::StandIn;
using tavo::test::TempDir;

TEST(JnlpDownloaderSession, SessionDownloadBinaryAsTheFetcher) {
    PortalCard card;
    PortalStandIn portal;
    StandIn other(StandIn::Options{StandIn::ClientCert::Request, false});
    other.route({nap::kRestApiHost});
    NapSession session;
    session.setIdentity(card.identity());
    session.setPin(card.pin());
    ASSERT_TRUE(session.login()) << session.lastError();

    const std::string applet = makeZip({{"bg/nra/stampit/VatApplet.class", "\xca\xfe\xba\xbe applet"}});
    const std::string elsewhere = makeZip({{"o.class", "other"}});
    const std::string otherUrl = std::string(nap::kRestApiProductionBase) + "/x/other.jar";
    portal.on(PortalStandIn::Host::Portal, "GET", "/ls/java/stampitls-vat.jnlp", [&](const RecordedRequest&) {
        return Reply::text(
            "<jnlp codebase=\"https://portal.nra.bg/ls\"><resources><jar href=\"stampitls-vat.jar\"/>"
            "</resources><jar href=\"" +
            otherUrl + "\"/></jnlp>");
    });
    portal.on(PortalStandIn::Host::Portal, "GET", "/ls/stampitls-vat.jar",
              [&](const RecordedRequest&) { return Reply::text(applet, 200, "application/java-archive"); });
    other.reply("GET", "/x/other.jar", Reply::text(elsewhere, 200, "application/java-archive"));

    TempDir cache("tavo-jnlp-session");
    std::vector<std::string> asked;
    auto written = JnlpDownloader::downloadAll(cache.str(), [&](const std::string& url) {
        asked.push_back(url);
        return session.downloadBinary(url);
    });

    EXPECT_EQ(written,
              (std::vector<std::string>{(cache / "stampitls-vat.jar").string(), (cache / "other.jar").string()}));
    EXPECT_EQ(readFile(cache / "stampitls-vat.jar"), applet);
    EXPECT_EQ(readFile(cache / "other.jar"), elsewhere);
    EXPECT_EQ(asked, (std::vector<std::string>{"https://portal.nra.bg/ls/java/stampitls-vat.jnlp",
                                               "https://portal.nra.bg/ls/stampitls-vat.jar"}));

    // The portal's requests carried the logged-in session.
    for (const char* path : {"/ls/java/stampitls-vat.jnlp", "/ls/stampitls-vat.jar"}) {
        auto request = portal.portal().journal().lastOn(path);
        ASSERT_TRUE(request) << path;
        EXPECT_NE(PortalStandIn::cookie(*request, "SESSION"), "") << path;
    }
    // The other host asked for a certificate and got none, and no session cookie.
    auto request = other.journal().lastOn("/x/other.jar");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->clientSubject, "");
    EXPECT_FALSE(request->hasHeader("Cookie"));
}

}  // namespace
