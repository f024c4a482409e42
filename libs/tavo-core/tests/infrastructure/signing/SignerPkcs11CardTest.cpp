// What the card says is believed only when it proves it: another PIN is
// checked against the card, a card pulled and put back is seen, a key is
// used with its own certificate only, and lengths a token announces are
// bounded.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <string>

#include "infrastructure/signing/SignerPkcs11.h"
#include "support/CmsCheck.h"
#include "support/FaultModule.h"
#include "support/LogCapture.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

using namespace tavo::signing;
using namespace tavo::test;

namespace {

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

enum class Outcome { Signed, Empty, WrongPin };

Outcome signWith(SignerPkcs11& signer, const std::string& id, const std::string& pin) {
    auto data = bytes("declaration");
    try {
        auto sig = signer.signData(data, id, pin);
        if (sig.empty()) return Outcome::Empty;
        auto verdict = verifyDetachedCms(sig, data);
        EXPECT_TRUE(verdict.verified) << verdict.output;
        return Outcome::Signed;
    } catch (const InvalidPinException& e) {
        EXPECT_STREQ(e.what(), "Грешен PIN код.");
        return Outcome::WrongPin;
    }
}

Outcome warmWith(SignerPkcs11& signer, const std::string& id, const std::string& pin) {
    try {
        return signer.warmUp(id, pin) ? Outcome::Signed : Outcome::Empty;
    } catch (const InvalidPinException&) {
        return Outcome::WrongPin;
    }
}

// DER of the certificate the command prints as PEM.
std::vector<unsigned char> derOf(const std::string& pemCommand, const TempDir& dir) {
    mustRun(pemCommand + " | openssl x509 -outform DER -out " + shellQuote((dir / "cert.der").string()));
    std::string der = readFile(dir / "cert.der");
    return std::vector<unsigned char>(der.begin(), der.end());
}

std::vector<unsigned char> signerCertificate(const std::vector<uint8_t>& sig) {
    TempDir dir("tavo-cms-cert");
    writeFile(dir / "sig.der", std::string(sig.begin(), sig.end()));
    return derOf("openssl pkcs7 -inform DER -print_certs -in " + shellQuote((dir / "sig.der").string()), dir);
}

}  // namespace

// Once the token is logged in, the card answers any further login with
// "already logged in": a mistyped PIN must still be refused, at the cost of
// one card retry and never more.
TEST(SignerPkcs11Card, AnotherPinIsCheckedAgainstTheCard) {
    SoftHsmToken token;
    auto key = token.addRsaKey("11", "Tavo Card Holder", "holder@example.com");
    const std::string right = token.userPin();
    using Step = std::function<Outcome(SignerPkcs11&, const std::string&, const std::string&)>;
    struct Case {
        const char* name;
        bool throughFaultModule;
        Step tryWrong;
    };
    const Case cases[] = {
        {"warmUp on SoftHSM", false, warmWith},
        {"signData on SoftHSM", false, signWith},
        {"warmUp through the fault module", true, warmWith},
        {"signData through the fault module", true, signWith},
    };
    const std::string& id = key.certificateId;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<FaultModule> fault;
        if (c.throughFaultModule) fault = std::make_unique<FaultModule>();
        SignerPkcs11 signer(fault ? FaultModule::path() : SoftHsmToken::modulePath());
        // The module's counters run for the whole process.
        const unsigned long refusedBefore = fault ? fault->count("pinRefusals") : 0;
        ASSERT_EQ(warmWith(signer, id, right), Outcome::Signed);
        EXPECT_EQ(signWith(signer, id, ""), Outcome::Signed);
        EXPECT_EQ(c.tryWrong(signer, id, "9999"), Outcome::WrongPin);
        // The refused PIN left nothing logged in behind it.
        EXPECT_EQ(signWith(signer, id, ""), Outcome::Empty);
        // The right PIN still works, and keeps the card warm again.
        EXPECT_EQ(signWith(signer, id, right), Outcome::Signed);
        EXPECT_EQ(warmWith(signer, id, right), Outcome::Signed);
        EXPECT_EQ(signWith(signer, id, ""), Outcome::Signed);
        if (fault) {
            // One card retry spent, and the PIN the kept session holds is not presented again.
            auto logins = fault->count("C_Login");
            EXPECT_EQ(warmWith(signer, id, right), Outcome::Signed);
            EXPECT_EQ(signWith(signer, id, right), Outcome::Signed);
            EXPECT_EQ(fault->count("C_Login"), logins);
            EXPECT_EQ(fault->count("pinRefusals") - refusedBefore, 1u);
        }
    }
}

TEST(SignerPkcs11Card, KeptSessionOfAPulledCardIsReplaced) {
    SoftHsmToken token;
    auto key = token.addRsaKey("12", "Tavo Card Holder", "holder@example.com");
    FaultModule fault;
    {
        SignerPkcs11 signer(FaultModule::path());
        const unsigned long refusedBefore = fault.count("pinRefusals");
        ASSERT_TRUE(signer.warmUp(key.certificateId, token.userPin()));
        ASSERT_EQ(signWith(signer, key.certificateId, ""), Outcome::Signed);

        fault.pullCard();
        {
            LogCapture log;
            EXPECT_FALSE(signer.warmUp(key.certificateId, token.userPin()));
            EXPECT_EQ(signWith(signer, key.certificateId, ""), Outcome::Empty);
            EXPECT_TRUE(log.contains("[WARN ] SignerPkcs11: C_OpenSession returned 224")) << log.text();
            EXPECT_TRUE(log.contains("SignerPkcs11: kept session of slot " + std::to_string(token.slotId()) +
                                     " is gone (179); a new one will be opened"))
                << log.text();
        }
        fault.putCardBack();
        // The card came back logged out: nothing is signed until the PIN is
        // given again, and the signer never guesses it.
        auto logins = fault.count("C_Login");
        EXPECT_EQ(signWith(signer, key.certificateId, ""), Outcome::Empty);
        EXPECT_EQ(fault.count("C_Login"), logins);
        EXPECT_TRUE(signer.warmUp(key.certificateId, token.userPin()));
        EXPECT_EQ(signWith(signer, key.certificateId, ""), Outcome::Signed);

        // Pulled and put back between two calls: the next call notices.
        fault.pullCard();
        fault.putCardBack();
        EXPECT_EQ(signWith(signer, key.certificateId, ""), Outcome::Empty);
        EXPECT_EQ(signWith(signer, key.certificateId, token.userPin()), Outcome::Signed);
        EXPECT_EQ(fault.count("pinRefusals"), refusedBefore);
    }
    // Every live session the signer opened is closed with it; the two kept
    // sessions that died with the card were closed as dead.
    EXPECT_EQ(fault.count("sessionsOpened") - fault.count("sessionsClosed"), 2u);
}

TEST(SignerPkcs11Card, KeyIsUsedWithItsOwnCertificateOnly) {
    SoftHsmToken token;
    const std::string slot = std::to_string(token.slotId());
    // A CA certificate stored before the user's, under the same id.
    IssuedCert ca;
    ca.certDer = derOf("cat " + shellQuote(TestPki::instance().caCertFile().string()), TempDir("tavo-ca-der"));
    token.addCertificate("21", "Issuing CA", ca);
    auto user = token.addRsaKey("21", "Tavo Card Holder", "holder@example.com");
    // A renewed card: two pairs under one id.
    token.generateRsaKey("22", "Tavo Card Holder 2024", "holder@example.com");
    token.generateRsaKey("22", "Tavo Card Holder 2025", "holder@example.com");
    // A certificate whose key is not on the card, beside a key without one.
    token.addCertificate("23", "Stranger", TestPki::instance().issueClient("Tavo Stranger"));
    token.pkcs11Tool("--keypairgen --key-type rsa:2048 --id 23 --label lonely", true);

    SignerPkcs11 signer(SoftHsmToken::modulePath());
    ASSERT_TRUE(signer.warmUp(user.certificateId, token.userPin()));
    struct Case {
        std::string id;
        bool signs;
        const char* log;  // nullptr: the signature names the user's certificate
    };
    const Case cases[] = {
        {slot + ":21", true, nullptr},
        {slot + ":22", false, "[WARN ] SignerPkcs11: more than one certificate with its key under " /* id */},
        {slot + ":23", false, "[WARN ] SignerPkcs11: no private key on token belongs to the certificate under "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        LogCapture log;
        auto data = bytes("one id, one pair");
        auto sig = signer.signData(data, c.id, "");
        EXPECT_EQ(!sig.empty(), c.signs);
        if (c.signs) {
            auto verdict = verifyDetachedCms(sig, data);
            EXPECT_TRUE(verdict.verified) << verdict.output;
            EXPECT_EQ(signerCertificate(sig), user.cert.certDer);
            // The certificate the session sends beside the signature is the same one.
            EXPECT_EQ(signer.getCertificateDer(c.id), user.cert.certDer);
        } else {
            EXPECT_TRUE(log.contains(std::string(c.log) + c.id)) << log.text();
        }
    }
    // The renewed card's id names no single certificate either.
    EXPECT_TRUE(signer.getCertificateDer(slot + ":22").empty());
}

TEST(SignerPkcs11Card, AnnouncedLengthsAreBoundedBeforeAllocation) {
    SoftHsmToken token;
    auto key = token.addRsaKey("31", "Tavo Card Holder", "holder@example.com");
    for (const std::string& length : {std::to_string(2 * 1024 * 1024), std::to_string(ULONG_MAX - 1)}) {
        SCOPED_TRACE(length);
        FaultModule fault;
        fault.inject("TAVO_FAULT_ATTRIBUTE_LENGTH", length);
        SignerPkcs11 signer(FaultModule::path());
        LogCapture log;
        EXPECT_TRUE(signer.listCertificates().empty());
        EXPECT_TRUE(log.contains("[WARN ] SignerPkcs11: object skipped, the token announced an attribute of " + length +
                                 " bytes"))
            << log.text();
        EXPECT_EQ(signWith(signer, key.certificateId, token.userPin()), Outcome::Empty);
        EXPECT_TRUE(signer.getCertificateDer(key.certificateId).empty());
    }
    // Without the announcement the same card lists its certificate.
    FaultModule fault;
    SignerPkcs11 signer(FaultModule::path());
    EXPECT_EQ(signer.listCertificates().size(), 1u);
}
