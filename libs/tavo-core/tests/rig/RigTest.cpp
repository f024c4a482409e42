#include <gtest/gtest.h>

#include "support/SoftHsmToken.h"
#include "support/TestPki.h"

using namespace tavo::test;

// The rig itself: a token per test with a discovered slot, certificates that
// the openssl command line accepts for their purposes.
TEST(Rig, TokenKeyCertificateVerifiesAgainstTheTestCa) {
    SoftHsmToken token;
    auto key = token.generateRsaKey("A1B2", "Tavo Card Holder", "holder@example.com");
    EXPECT_EQ(key.certificateId, std::to_string(token.slotId()) + ":A1B2");
    EXPECT_NE(key.cert.subject.find("CN=Tavo Card Holder"), std::string::npos) << key.cert.subject;
    std::string out;
    EXPECT_EQ(runCommand("openssl verify -purpose sslclient -CAfile " + shellQuote(TestPki::instance().caCertFile()) +
                             " " + shellQuote(key.cert.certFile),
                         &out),
              0)
        << out;
    std::string objects = token.pkcs11Tool("--list-objects", true);
    EXPECT_NE(objects.find("Certificate Object"), std::string::npos) << objects;
    EXPECT_NE(objects.find("Private Key Object"), std::string::npos) << objects;
}

TEST(Rig, ServerCertificateCoversTheProductionHosts) {
    const auto& server = TestPki::instance().server();
    std::string out;
    EXPECT_EQ(runCommand("openssl verify -purpose sslserver -verify_hostname portal.nra.bg -CAfile " +
                             shellQuote(TestPki::instance().caCertFile()) + " " + shellQuote(server.certFile),
                         &out),
              0)
        << out;
    EXPECT_NE(runCommand("openssl verify -CAfile " + shellQuote(TestPki::instance().caCertFile()) + " " +
                             shellQuote(TestPki::instance().untrustedServer().certFile),
                         &out),
              0);
}
