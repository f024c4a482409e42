#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "infrastructure/signing/SignerMac.h"
#include "platform/Keychain.h"
#include "support/CmsCheck.h"
#include "support/KeychainTestSupport.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

using namespace tavo::signing;
namespace keychain = tavo::platform::keychain;
using tavo::test::importKeychainIdentity;
using tavo::test::keychainId;
using tavo::test::LogCapture;
using tavo::test::mustRun;
using tavo::test::shellQuote;
using tavo::test::TestPki;

namespace {

const std::vector<uint8_t> kData = {'<', '?', 'x', 'm', 'l', '?', '>', 0x00, 0xff, '\n'};

// "notBefore=2026-12-07 08:00:00Z" -> "2026-12-07T08:00:00Z", as openssl reads the certificate.
std::string opensslDate(const tavo::test::IssuedCert& cert, const char* which) {
    std::string out = mustRun("openssl x509 -noout -dateopt iso_8601 -" + std::string(which) + " -in " +
                              shellQuote(cert.certFile.string()));
    out = out.substr(out.find('=') + 1);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    if (out.size() > 10 && out[10] == ' ') out[10] = 'T';
    return out;
}

std::string opensslSerial(const tavo::test::IssuedCert& cert) {
    std::string out = mustRun("openssl x509 -noout -serial -in " + shellQuote(cert.certFile.string()));
    out = out.substr(out.find('=') + 1);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace

TEST(SignerMac, ListsImportedIdentitiesWithIdSubjectAndSource) {
    auto soft = TestPki::instance().issueClient("Maria Ivanova", "maria@example.com");
    auto card = TestPki::instance().issueClient("Card Holder");
    auto softRef = importKeychainIdentity(soft);
    auto cardRef = importKeychainIdentity(card, std::string("com.example.pivtoken:4F2A"));

    SignerMac signer;
    auto list = signer.listCertificates();
    ASSERT_EQ(list.size(), 2u);
    struct Expect {
        const tavo::test::IssuedCert& cert;
        std::vector<uint8_t> ref;
        std::string subject;
        bool hardware;
        std::string source;
    };
    const Expect expected[] = {{soft, softRef, "Maria Ivanova", false, "Keychain"},
                               {card, cardRef, "Card Holder", true, "com.example.pivtoken:4F2A"}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(expected[i].subject);
        const CertificateInfo& info = list[i];
        EXPECT_EQ(info.id, keychainId(expected[i].ref));
        EXPECT_EQ(info.subject, expected[i].subject);
        EXPECT_EQ(info.isHardware, expected[i].hardware);
        EXPECT_EQ(info.source, expected[i].source);
        EXPECT_EQ(info.serial, opensslSerial(expected[i].cert));
        EXPECT_EQ(info.notBefore, opensslDate(expected[i].cert, "startdate"));
        EXPECT_EQ(info.notAfter, opensslDate(expected[i].cert, "enddate"));
        EXPECT_NE(info.issuer.find("CN="), std::string::npos) << info.issuer;
        EXPECT_EQ(signer.getCertificateDer(info.id), expected[i].cert.certDer);
    }
}

TEST(SignerMac, CertificateWithoutCommonNameShowsItsSummary) {
    tavo::test::TempDir dir;
    mustRun(
        "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/O=Tavo Test Org/emailAddress=nocn@example.com'"
        " -keyout " +
        shellQuote((dir / "k.pem").string()) + " -out " + shellQuote((dir / "c.pem").string()) + " 2>/dev/null");
    mustRun("openssl x509 -in " + shellQuote((dir / "c.pem").string()) + " -outform DER -out " +
            shellQuote((dir / "c.der").string()));
    std::string der = tavo::test::readFile(dir / "c.der");
    ASSERT_EQ(keychain::importIdentity(tavo::test::readFile(dir / "k.pem"),
                                       std::vector<uint8_t>(der.begin(), der.end()), std::nullopt),
              keychain::kStatusOk);
    auto list = SignerMac().listCertificates();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].subject, "nocn@example.com");
}

TEST(SignerMac, EmptyOrFailingKeychainListsNothing) {
    SignerMac signer;
    {
        LogCapture log;
        EXPECT_TRUE(signer.listCertificates().empty());
        EXPECT_EQ(log.text(), "");
    }
    importKeychainIdentity(TestPki::instance().issueClient("Present"));
    LogCapture log;
    tavo::test::ScopedKeychainFailure failing(keychain::Operation::CopyMatching, -25291);
    EXPECT_TRUE(signer.listCertificates().empty());
    EXPECT_TRUE(log.contains("[WARN ] SecItemCopyMatching(identities) failed: -25291")) << log.text();
}

TEST(SignerMac, SignatureVerifiesWithOpensslCades) {
    auto cert = TestPki::instance().issueClient("Signing Person", "signer@example.com");
    std::string id = keychainId(importKeychainIdentity(cert));
    SignerMac signer;
    for (const std::string& pin : {std::string(), std::string("ignored-pin")}) {
        auto signature = signer.signData(kData, id, pin);
        ASSERT_FALSE(signature.empty());
        auto verdict = tavo::test::verifyDetachedCms(signature, kData);
        EXPECT_TRUE(verdict.verified) << verdict.output;
        EXPECT_FALSE(tavo::test::verifyDetachedCms(signature, {'x'}).verified);
    }
    auto portal = static_cast<ISigner&>(signer).signDataForPortal(kData, id, "");
    EXPECT_TRUE(tavo::test::verifyDetachedCms(portal, kData).verified);
    // Blanks and line breaks inside the id are not part of the reference.
    std::string broken = id.substr(0, 8) + "\n " + id.substr(8);
    EXPECT_TRUE(tavo::test::verifyDetachedCms(signer.signData(kData, broken, ""), kData).verified);
    EXPECT_EQ(signer.getCertificateDer(broken), cert.certDer);
}

TEST(SignerMac, CancelledSignatureThrows) {
    std::string id = keychainId(importKeychainIdentity(TestPki::instance().issueClient("Cancelling")));
    SignerMac signer;
    LogCapture log;
    {
        tavo::test::ScopedKeychainFailure cancel(keychain::Operation::CreateSignature, keychain::kStatusUserCanceled);
        EXPECT_THROW(signer.signData(kData, id, ""), SigningCancelledException);
    }
    EXPECT_TRUE(log.contains("SecKeyCreateSignature failed (-128): ")) << log.text();
    EXPECT_TRUE(log.contains("CmsBuilder: CMS_final failed")) << log.text();
    // Afterwards the same identity signs again.
    EXPECT_FALSE(signer.signData(kData, id, "").empty());
}

TEST(SignerMac, RefusedSignatureOrKeyGivesEmpty) {
    std::string id = keychainId(importKeychainIdentity(TestPki::instance().issueClient("Refusing")));
    SignerMac signer;
    struct Case {
        keychain::Operation op;
        keychain::OSStatus status;
        std::string line;
    };
    const Case cases[] = {
        {keychain::Operation::CreateSignature, -25293, "[WARN ] SecKeyCreateSignature failed (-25293): "},
        {keychain::Operation::CopyPrivateKey, -25308, "[WARN ] SecIdentityCopyPrivateKey failed: -25308"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        LogCapture log;
        tavo::test::ScopedKeychainFailure failing(c.op, c.status);
        std::vector<uint8_t> out;
        EXPECT_NO_THROW(out = signer.signData(kData, id, "1234"));
        EXPECT_TRUE(out.empty());
        EXPECT_TRUE(log.contains(c.line)) << log.text();
        EXPECT_FALSE(log.contains("1234"));
    }
}

TEST(SignerMac, UnknownOrMalformedIdsResolveToNothing) {
    importKeychainIdentity(TestPki::instance().issueClient("Someone"));
    ASSERT_EQ(keychain::addGenericPassword("TavoAgentC.pin", "x", "1234"), keychain::kStatusOk);
    std::string pin;
    std::vector<uint8_t> pinRef;
    ASSERT_EQ(keychain::copyGenericPassword("TavoAgentC.pin", "x", pin, &pinRef), keychain::kStatusOk);
    SignerMac signer;
    for (const std::string& id : {std::string(), std::string("!!!*"), std::string("not base64 at all?"),
                                  std::string("aWRudAAAAAAAAAAAAAAAAAAAAAA="), keychainId(pinRef)}) {
        SCOPED_TRACE(id);
        LogCapture log;
        EXPECT_TRUE(signer.signData(kData, id, "").empty());
        EXPECT_TRUE(log.contains("[WARN ] SignerMac::signData: identity not found for ref")) << log.text();
        EXPECT_TRUE(signer.getCertificateDer(id).empty());
        EXPECT_TRUE(signer.warmUp(id, "0000"));
    }
}

TEST(SignerMac, NonRsaIdentityGivesEmptyWithoutThrowing) {
    std::string id = keychainId(importKeychainIdentity(TestPki::instance().issueEcClient("EC Person")));
    SignerMac signer;
    ASSERT_EQ(signer.listCertificates().size(), 1u);
    std::vector<uint8_t> out;
    EXPECT_NO_THROW(out = signer.signData(kData, id, ""));
    EXPECT_TRUE(out.empty());
}
