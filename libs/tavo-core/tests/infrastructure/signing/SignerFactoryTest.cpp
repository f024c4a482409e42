#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "infrastructure/signing/SignerFactory.h"
#include "infrastructure/signing/SignerMac.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "support/LogCapture.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

using namespace tavo::signing;
using tavo::test::LogCapture;
using tavo::test::ScopedEnv;
using tavo::test::SoftHsmToken;

namespace {
bool lists(ISigner& signer, const std::string& certificateId) {
    auto list = signer.listCertificates();
    return std::any_of(list.begin(), list.end(), [&](const CertificateInfo& c) { return c.id == certificateId; });
}
}  // namespace

TEST(SignerFactory, NativeWithoutTheVariableIsTheKeychainSigner) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(value ? "empty" : "unset");
        ScopedEnv module("TAVO_PKCS11_MODULE", value);
        LogCapture log;
        auto signer = SignerFactory::create(SignerBackend::Native, "");
        ASSERT_TRUE(signer);
        EXPECT_NE(dynamic_cast<SignerMac*>(signer.get()), nullptr);
        EXPECT_FALSE(log.contains("SignerFactory"));
    }
}

TEST(SignerFactory, NativeWithTheVariableUsesItsModule) {
    SoftHsmToken token;
    SoftHsmToken::Key key = token.addRsaKey("7A", "Factory Card");
    const std::string path = SoftHsmToken::modulePath();
    ScopedEnv module("TAVO_PKCS11_MODULE", path.c_str());
    LogCapture log;
    auto signer = SignerFactory::create(SignerBackend::Native, "/nonexistent/ignored-module.so");
    ASSERT_TRUE(signer);
    EXPECT_NE(dynamic_cast<SignerPkcs11*>(signer.get()), nullptr);
    EXPECT_TRUE(log.contains("[INFO ] SignerFactory: TAVO_PKCS11_MODULE set, using PKCS#11 signer (" + path + ")"))
        << log.text();
    EXPECT_TRUE(lists(*signer, key.certificateId));
}

TEST(SignerFactory, Pkcs11BackendIgnoresTheEnvironment) {
    SoftHsmToken token;
    SoftHsmToken::Key key = token.addRsaKey("7B", "Explicit Card");
    ScopedEnv module("TAVO_PKCS11_MODULE", "/nonexistent/from-environment.so");
    LogCapture log;
    auto signer = SignerFactory::create(SignerBackend::Pkcs11, SoftHsmToken::modulePath());
    ASSERT_TRUE(signer);
    EXPECT_NE(dynamic_cast<SignerPkcs11*>(signer.get()), nullptr);
    EXPECT_TRUE(lists(*signer, key.certificateId));
    EXPECT_FALSE(log.contains("SignerFactory"));
    EXPECT_FALSE(log.contains("from-environment"));
}
