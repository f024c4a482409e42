#include "infrastructure/signing/SignerPkcs11.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "support/CmsCheck.h"
#include "support/FaultModule.h"
#include "support/LogCapture.h"
#include "support/SoftHsmToken.h"
#include "support/TestPki.h"

using namespace tavo::signing;
using namespace tavo::test;

namespace {

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::string opensslField(const IssuedCert& cert, const std::string& option) {
    std::string out;
    runCommand("openssl x509 -noout -nameopt compat -dateopt iso_8601 " + option + " -in " +
                   shellQuote(cert.certFile.string()),
               &out, false);
    auto eq = out.find('=');
    std::string value = eq == std::string::npos ? out : out.substr(eq + 1);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
    return value;
}

// "2026-12-07 08:26:08Z" -> "2026-12-07T08:26:08Z"
std::string isoT(std::string s) {
    if (s.size() > 10 && s[10] == ' ') s[10] = 'T';
    return s;
}

}  // namespace

TEST(SignerPkcs11, ListsTheTokenCertificateInTheSignerForms) {
    SoftHsmToken token;
    auto key = token.addRsaKey("a1b2", "Tavo Card Holder", "holder@example.com");
    SignerPkcs11 signer(SoftHsmToken::modulePath());
    auto certs = signer.listCertificates();
    ASSERT_EQ(certs.size(), 1u);
    const CertificateInfo& c = certs[0];
    EXPECT_EQ(c.id, std::to_string(token.slotId()) + ":A1B2");
    EXPECT_EQ(c.subject, opensslField(key.cert, "-subject"));
    EXPECT_EQ(c.subject, "/CN=Tavo Card Holder/emailAddress=holder@example.com");
    EXPECT_EQ(c.issuer, opensslField(key.cert, "-issuer"));
    EXPECT_EQ(c.serial, opensslField(key.cert, "-serial"));
    EXPECT_EQ(c.notBefore, isoT(opensslField(key.cert, "-startdate")));
    EXPECT_EQ(c.notAfter, isoT(opensslField(key.cert, "-enddate")));
    EXPECT_TRUE(c.isHardware);
    EXPECT_EQ(c.source, "TavoTestCard");
    EXPECT_EQ(signer.getCertificateDer(c.id), key.cert.certDer);
    // Lower-case hex addresses the same object.
    EXPECT_EQ(signer.getCertificateDer(std::to_string(token.slotId()) + ":a1b2"), key.cert.certDer);
}

TEST(SignerPkcs11, SignaturesVerifyWithTheFourSignedAttributes) {
    SoftHsmToken token;
    auto key = token.addRsaKey("C0DE", "Tavo Card Holder", "holder@example.com");
    SignerPkcs11 signer(SoftHsmToken::modulePath());
    for (const std::string& text : {std::string("declaration body\r\n"), std::string()}) {
        SCOPED_TRACE(text.size());
        auto data = bytes(text);
        for (auto sig : {signer.signData(data, key.certificateId, token.userPin()),
                         signer.signDataForPortal(data, key.certificateId, token.userPin())}) {
            ASSERT_FALSE(sig.empty());
            auto verdict = verifyDetachedCms(sig, data);
            EXPECT_TRUE(verdict.verified) << verdict.output;
            EXPECT_EQ(signedAttributeNames(sig),
                      (std::vector<std::string>{"contentType", "signingTime", "messageDigest",
                                                "id-smime-aa-signingCertificateV2"}));
            std::string print = printCms(sig);
            EXPECT_NE(print.find("eContent: <ABSENT>"), std::string::npos) << print;
        }
    }
}

TEST(SignerPkcs11, WarmUpLetsLaterSigningGoWithoutPin) {
    SoftHsmToken token;
    auto key = token.addRsaKey("01", "Tavo Card Holder", "holder@example.com");
    FaultModule fault;
    {
        SignerPkcs11 signer(FaultModule::path());
        LogCapture log;
        // Not logged in: the private key stays hidden.
        EXPECT_TRUE(signer.signData(bytes("x"), key.certificateId, "").empty());
        EXPECT_TRUE(log.contains("[WARN ] SignerPkcs11: private key not found on token")) << log.text();
        EXPECT_TRUE(signer.warmUp(key.certificateId, ""));
        EXPECT_EQ(fault.count("C_Login"), 0u);
        EXPECT_TRUE(signer.warmUp(key.certificateId, token.userPin()));
        EXPECT_TRUE(signer.warmUp(key.certificateId, token.userPin()));
        auto data = bytes("after warm-up");
        auto sig = signer.signData(data, key.certificateId, "");
        ASSERT_FALSE(sig.empty());
        EXPECT_TRUE(verifyDetachedCms(sig, data).verified);
        EXPECT_GT(fault.count("sessionsOpened"), fault.count("sessionsClosed"));
    }
    // Every session the signer opened is closed by the time it is gone, and
    // the module it initialised is finalised.
    EXPECT_EQ(fault.count("sessionsOpened"), fault.count("sessionsClosed"));
    EXPECT_EQ(fault.count("C_Finalize"), 1u);
}

TEST(SignerPkcs11, LoginAnswersBecomeExceptionsOrEmptyResults) {
    SoftHsmToken token;
    auto key = token.addRsaKey("02", "Tavo Card Holder", "holder@example.com");
    enum Outcome { kSigned, kTrue, kInvalidPin, kCancelled, kEmpty, kFalse };
    struct Case {
        const char* rv;  // nullptr: the real login
        const char* pin;
        Outcome sign, warm;
        const char* log;
    };
    const Case cases[] = {
        {nullptr, "0000", kInvalidPin, kInvalidPin, nullptr},
        {"0x103", "1234", kCancelled, kCancelled, nullptr},
        {"0xA4", "1234", kEmpty, kInvalidPin, "[WARN ] SignerPkcs11: C_Login returned 164"},
        {"0x100", "1234", kSigned, kTrue, nullptr},
        {"0x50", "1234", kEmpty, kFalse, "[WARN ] SignerPkcs11: C_Login returned 80"},
        {"0x6", "1234", kEmpty, kFalse, "[WARN ] SignerPkcs11: C_Login returned 6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rv ? c.rv : "real login");
        FaultModule fault;
        if (c.rv) fault.inject("TAVO_FAULT_LOGIN_RV", c.rv);
        {
            SignerPkcs11 signer(FaultModule::path());
            LogCapture log;
            auto data = bytes("payload");
            Outcome got = kEmpty;
            try {
                got = signer.signData(data, key.certificateId, c.pin).empty() ? kEmpty : kSigned;
            } catch (const InvalidPinException& e) {
                EXPECT_STREQ(e.what(), "Грешен PIN код.");
                got = kInvalidPin;
            } catch (const SigningCancelledException& e) {
                EXPECT_STREQ(e.what(), "Подписването беше отказано.");
                got = kCancelled;
            }
            EXPECT_EQ(got, c.sign);
            if (c.log) {
                EXPECT_TRUE(log.contains(c.log)) << log.text();
            }
            try {
                got = signer.warmUp(key.certificateId, c.pin) ? kTrue : kFalse;
            } catch (const InvalidPinException&) {
                got = kInvalidPin;
            } catch (const SigningCancelledException&) {
                got = kCancelled;
            }
            EXPECT_EQ(got, c.warm);
            // Sessions are closed before an exception leaves.
            if (c.warm != kTrue) {
                EXPECT_EQ(fault.count("sessionsOpened"), fault.count("sessionsClosed"));
            }
        }
        EXPECT_EQ(fault.count("sessionsOpened"), fault.count("sessionsClosed"));
    }
}

TEST(SignerPkcs11, ModuleFailuresLeaveAnInertSigner) {
    SoftHsmToken token;
    auto key = token.addRsaKey("03", "Tavo Card Holder");
    struct Case {
        std::string path;
        const char* initRv;
        const char* log;
    };
    const Case cases[] = {
        {"", nullptr, "[WARN ] SignerPkcs11: no module path configured"},
        {"/nonexistent/libcard.so", nullptr, "[ERROR] SignerPkcs11: failed to load /nonexistent/libcard.so"},
        {"libc.so.6", nullptr, "[ERROR] SignerPkcs11: C_GetFunctionList not found in module"},
        {FaultModule::path(), "0x5", "[ERROR] SignerPkcs11: C_Initialize returned 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        FaultModule fault;
        if (c.initRv) fault.inject("TAVO_FAULT_INITIALIZE_RV", c.initRv);
        LogCapture log;
        {
            SignerPkcs11 signer(c.path);
            EXPECT_TRUE(log.contains(c.log)) << log.text();
            EXPECT_TRUE(signer.listCertificates().empty());
            EXPECT_TRUE(signer.signData(bytes("x"), key.certificateId, token.userPin()).empty());
            EXPECT_FALSE(signer.warmUp(key.certificateId, token.userPin()));
            EXPECT_TRUE(signer.getCertificateDer(key.certificateId).empty());
        }
        // A module we did not initialise is not finalised.
        EXPECT_EQ(fault.count("C_Finalize"), 0u);
    }
}

TEST(SignerPkcs11, BadIdsAndMissingObjectsGiveEmptyResults) {
    SoftHsmToken token;
    auto key = token.addRsaKey("04", "Tavo Card Holder", "holder@example.com");
    auto ec = TestPki::instance().issueEcClient("Tavo EC Holder");
    auto ecKey = token.importKey("05", ec, "Tavo EC Holder");
    token.addCertificate("06", "Certificate only", TestPki::instance().issueClient("Tavo No Key"));
    const std::string slot = std::to_string(token.slotId());
    SignerPkcs11 signer(SoftHsmToken::modulePath());
    struct Case {
        std::string id;
        const char* signLog;  // nullptr: no line
        bool invalid;
    };
    const Case cases[] = {
        {slot + ":AZ", nullptr, true},
        {slot + ":", nullptr, true},
        {slot, nullptr, true},
        {"x:AB", nullptr, true},
        {slot + ":0BAD", "[WARN ] SignerPkcs11: certificate not found on token", false},
        {slot + ":06", "[WARN ] SignerPkcs11: private key not found on token", false},
        {ecKey.certificateId, nullptr, false},
        {"4242:04", "[WARN ] SignerPkcs11: C_OpenSession returned 3", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        LogCapture log;
        EXPECT_TRUE(signer.signData(bytes("x"), c.id, token.userPin()).empty());
        if (c.signLog) {
            EXPECT_TRUE(log.contains(c.signLog)) << log.text();
        } else {
            EXPECT_EQ(log.text().find("[WARN ]"), std::string::npos) << log.text();
            EXPECT_EQ(log.text().find("[ERROR]"), std::string::npos) << log.text();
        }
        EXPECT_EQ(signer.warmUp(c.id, token.userPin()), !c.invalid && c.id.rfind("4242", 0) != 0);
        if (c.invalid) {
            EXPECT_TRUE(log.contains("[WARN ] SignerPkcs11: invalid certificateId: " + c.id));
        }
        if (c.id != ecKey.certificateId && c.id != slot + ":06") {
            EXPECT_TRUE(signer.getCertificateDer(c.id).empty());
        }
    }
    // The card keeps working for the good key after all of that.
    auto sig = signer.signData(bytes("x"), key.certificateId, token.userPin());
    EXPECT_TRUE(verifyDetachedCms(sig, bytes("x")).verified);
}

TEST(SignerPkcs11, SessionThatWillNotOpenSkipsTheSlot) {
    SoftHsmToken token;
    auto key = token.addRsaKey("07", "Tavo Card Holder");
    FaultModule fault;
    fault.inject("TAVO_FAULT_OPEN_SESSION_RV", "0xB3");  // CKR_SESSION_COUNT
    SignerPkcs11 signer(FaultModule::path());
    LogCapture log;
    EXPECT_TRUE(signer.listCertificates().empty());
    EXPECT_FALSE(signer.warmUp(key.certificateId, token.userPin()));
    EXPECT_TRUE(signer.getCertificateDer(key.certificateId).empty());
    EXPECT_TRUE(log.contains("[WARN ] SignerPkcs11: C_OpenSession returned 179")) << log.text();
}

TEST(SignerPkcs11, SignLengthQueryIsCheckedBeforeAllocation) {
    SoftHsmToken token;
    auto key = token.addRsaKey("08", "Tavo Card Holder", "holder@example.com");
    struct Case {
        const char* variable;
        const char* value;
    };
    for (const Case& c : {Case{"TAVO_FAULT_SIGN_LENGTH", "18446744073709551615"},
                          {"TAVO_FAULT_SIGN_LENGTH", "0"},
                          {"TAVO_FAULT_SIGN_LENGTH_RV", "0x5"}}) {
        SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
        FaultModule fault;
        fault.inject(c.variable, c.value);
        SignerPkcs11 signer(FaultModule::path());
        LogCapture log;
        EXPECT_TRUE(signer.signData(bytes("x"), key.certificateId, token.userPin()).empty());
        EXPECT_TRUE(log.contains("[ERROR] CmsBuilder: CMS_final failed")) << log.text();
    }
}

TEST(SignerPkcs11, SeventyCertificatesAreReadInBatchesOf32) {
    SoftHsmToken token;
    auto cert = TestPki::instance().issueClient("Tavo Many");
    for (int i = 1; i <= 70; ++i) {
        char id[8];
        std::snprintf(id, sizeof id, "%02X", i);
        token.addCertificate(id, "c" + std::to_string(i), cert);
    }
    FaultModule fault;
    SignerPkcs11 signer(FaultModule::path());
    auto certs = signer.listCertificates();
    EXPECT_EQ(certs.size(), 70u);
    EXPECT_EQ(fault.batches(), "32:32,32:32,32:6");
    EXPECT_EQ(fault.count("sessionsOpened"), fault.count("sessionsClosed"));
}

// Each case in its own test: a module left initialised stays so for the
// whole process.
TEST(SignerPkcs11, LeavesAModuleThatAnotherUserInitialised) {
    SoftHsmToken token;
    auto key = token.addRsaKey("09", "Tavo Card Holder", "holder@example.com");
    auto data = bytes("shared module");
    FaultModule fault;
    fault.inject("TAVO_FAULT_INITIALIZE_RV", "0x191");
    {
        SignerPkcs11 signer(FaultModule::path());
        EXPECT_TRUE(verifyDetachedCms(signer.signData(data, key.certificateId, token.userPin()), data).verified);
    }
    EXPECT_EQ(fault.count("C_Finalize"), 0u);
}

TEST(SignerPkcs11, LastOfTwoSignersFinalisesTheModule) {
    SoftHsmToken token;
    auto key = token.addRsaKey("0A", "Tavo Card Holder", "holder@example.com");
    auto data = bytes("shared module");
    FaultModule fault;
    auto first = std::make_unique<SignerPkcs11>(FaultModule::path());
    auto second = std::make_unique<SignerPkcs11>(FaultModule::path());
    EXPECT_TRUE(first->warmUp(key.certificateId, token.userPin()));
    first.reset();
    EXPECT_EQ(fault.count("C_Finalize"), 0u);
    EXPECT_TRUE(verifyDetachedCms(second->signData(data, key.certificateId, token.userPin()), data).verified);
    second.reset();
    EXPECT_EQ(fault.count("C_Finalize"), 1u);
    EXPECT_EQ(fault.count("sessionsOpened"), fault.count("sessionsClosed"));
}
