#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Keychain.h"
#include "platform/KeychainTesting.h"
#include "support/KeychainTestSupport.h"
#include "support/TempDir.h"
#include "support/TestPki.h"

namespace keychain = tavo::platform::keychain;
using keychain::Operation;
using tavo::test::TestPki;

namespace {

// DER DigestInfo of SHA-256 over "abc" (the 51 bytes a CMS signer hands over).
std::vector<uint8_t> digestInfo() {
    const std::string hex =
        "3031300d060960864801650304020105000420"
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST(Keychain, GenericPasswordsAddFindUpdateDelete) {
    using namespace keychain;
    std::string data;
    EXPECT_EQ(copyGenericPassword("svc", "acct", data), kStatusItemNotFound);
    EXPECT_EQ(addGenericPassword("svc", "acct", std::string("p\0w", 3)), kStatusOk);
    EXPECT_EQ(addGenericPassword("svc", "acct", "other"), kStatusDuplicateItem);
    EXPECT_EQ(addGenericPassword("svc2", "acct", "second service"), kStatusOk);
    ASSERT_EQ(copyGenericPassword("svc", "acct", data), kStatusOk);
    EXPECT_EQ(data, std::string("p\0w", 3));
    EXPECT_EQ(updateGenericPassword("svc", "acct", "new"), kStatusOk);
    EXPECT_EQ(updateGenericPassword("svc", "nobody", "new"), kStatusItemNotFound);
    ASSERT_EQ(copyGenericPassword("svc", "acct", data), kStatusOk);
    EXPECT_EQ(data, "new");
    ASSERT_EQ(copyGenericPassword("svc2", "acct", data), kStatusOk);
    EXPECT_EQ(data, "second service");
    EXPECT_EQ(deleteGenericPassword("svc", "acct"), kStatusOk);
    EXPECT_EQ(deleteGenericPassword("svc", "acct"), kStatusItemNotFound);
    EXPECT_EQ(copyGenericPassword("svc", "acct", data), kStatusItemNotFound);
    EXPECT_EQ(copyGenericPassword("svc2", "acct", data), kStatusOk);
}

TEST(Keychain, AccountsListOldestFirstPerService) {
    using namespace keychain;
    std::vector<std::string> accounts;
    EXPECT_EQ(copyGenericPasswordAccounts("svc", accounts), kStatusItemNotFound);
    for (const char* a : {"c", "a", "b"}) ASSERT_EQ(addGenericPassword("svc", a, "x"), kStatusOk);
    ASSERT_EQ(addGenericPassword("elsewhere", "z", "x"), kStatusOk);
    ASSERT_EQ(updateGenericPassword("svc", "c", "y"), kStatusOk);  // keeps its place
    ASSERT_EQ(copyGenericPasswordAccounts("svc", accounts), kStatusOk);
    EXPECT_EQ(accounts, (std::vector<std::string>{"c", "a", "b"}));
}

TEST(Keychain, ItemsAreFilesOnlyTheUserCanRead) {
    using namespace keychain;
    ASSERT_EQ(addGenericPassword("svc", "acct", "secret"), kStatusOk);
    tavo::test::importKeychainIdentity(TestPki::instance().issueClient("Mode Check"));
    std::string dir = storageDirectory();
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        SCOPED_TRACE(entry.path().string());
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ++files;
    }
    EXPECT_GE(files, 2);
}

namespace {
int childReadsAndWrites(void*) {
    std::string data;
    if (keychain::copyGenericPassword("svc", "from-parent", data) != keychain::kStatusOk || data != "p1") return 1;
    if (keychain::addGenericPassword("svc", "from-child", "c1") != keychain::kStatusOk) return 2;
    return 0;
}
}  // namespace

TEST(Keychain, AnotherProcessSeesTheStoredItems) {
    ASSERT_EQ(keychain::addGenericPassword("svc", "from-parent", "p1"), keychain::kStatusOk);
    EXPECT_EQ(tavo::test::runInChildProcess(childReadsAndWrites, nullptr), 0);
    std::string data;
    ASSERT_EQ(keychain::copyGenericPassword("svc", "from-child", data), keychain::kStatusOk);
    EXPECT_EQ(data, "c1");
}

TEST(Keychain, IdentitiesImportListAndResolveByReference) {
    using namespace keychain;
    std::vector<Identity> ids;
    EXPECT_EQ(copyIdentities(ids), kStatusItemNotFound);
    auto soft = TestPki::instance().issueClient("Soft Identity");
    auto card = TestPki::instance().issueClient("Card Identity");
    auto softRef = tavo::test::importKeychainIdentity(soft);
    auto cardRef = tavo::test::importKeychainIdentity(card, std::string("com.example.card:token-7"));
    ASSERT_EQ(copyIdentities(ids), kStatusOk);
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[0].persistentRef, softRef);
    EXPECT_EQ(ids[0].certificateDer, soft.certDer);
    EXPECT_FALSE(ids[0].tokenId);
    EXPECT_EQ(ids[1].persistentRef, cardRef);
    EXPECT_EQ(ids[1].tokenId.value_or(""), "com.example.card:token-7");

    Identity one;
    ASSERT_EQ(copyIdentity(cardRef, one), kStatusOk);
    EXPECT_EQ(one.certificateDer, card.certDer);
    EXPECT_EQ(importIdentity(tavo::test::readFile(soft.keyFile), soft.certDer, std::nullopt), kStatusDuplicateItem);
    EXPECT_EQ(importIdentity(tavo::test::readFile(soft.keyFile), card.certDer, std::nullopt), kStatusParam);
    EXPECT_EQ(importIdentity("not a key", card.certDer, std::nullopt), kStatusParam);
}

TEST(Keychain, OnlyIdentityReferencesResolveToIdentities) {
    using namespace keychain;
    tavo::test::importKeychainIdentity(TestPki::instance().issueClient("Real Identity"));
    ASSERT_EQ(addGenericPassword("TavoAgentC.pin", "some-id", "1234"), kStatusOk);
    std::string data;
    std::vector<uint8_t> pinRef;
    ASSERT_EQ(copyGenericPassword("TavoAgentC.pin", "some-id", data, &pinRef), kStatusOk);
    ASSERT_FALSE(pinRef.empty());
    std::vector<uint8_t> forged = pinRef;
    std::copy_n("idnt", 4, forged.begin());  // right tag, but it names a password file's neighbour
    Identity identity;
    for (const auto& ref : {pinRef, forged, std::vector<uint8_t>{}, std::vector<uint8_t>{'i', 'd', 'n', 't'}}) {
        EXPECT_EQ(copyIdentity(ref, identity), kStatusItemNotFound);
    }
    PrivateKey key;
    EXPECT_EQ(copyPrivateKey(Identity{pinRef, {}, {}}, key), kStatusItemNotFound);
    EXPECT_FALSE(key);
}

TEST(Keychain, RawSignatureIsPkcs1PaddingOfTheInputAsItIs) {
    using namespace keychain;
    auto cert = TestPki::instance().issueClient("Raw Signer");
    Identity identity;
    ASSERT_EQ(copyIdentity(tavo::test::importKeychainIdentity(cert), identity), kStatusOk);
    PrivateKey key;
    ASSERT_EQ(copyPrivateKey(identity, key), kStatusOk);
    ASSERT_TRUE(key);
    Error error;
    auto signature = createRawPkcs1Signature(key, digestInfo(), error);
    ASSERT_TRUE(signature) << error.description;
    EXPECT_EQ(signature->size(), 256u);

    // The openssl command line recovers exactly the bytes we handed over.
    tavo::test::TempDir dir;
    tavo::test::writeFile(dir / "sig", std::string(signature->begin(), signature->end()));
    tavo::test::mustRun("openssl x509 -pubkey -noout -in " + tavo::test::shellQuote(cert.certFile.string()) + " > " +
                        tavo::test::shellQuote((dir / "pub.pem").string()));
    tavo::test::mustRun("openssl pkeyutl -verifyrecover -pubin -inkey " +
                        tavo::test::shellQuote((dir / "pub.pem").string()) + " -in " +
                        tavo::test::shellQuote((dir / "sig").string()) + " -out " +
                        tavo::test::shellQuote((dir / "recovered").string()));
    auto expected = digestInfo();
    EXPECT_EQ(tavo::test::readFile(dir / "recovered"), std::string(expected.begin(), expected.end()));

    EXPECT_FALSE(createRawPkcs1Signature(key, std::vector<uint8_t>(300, 1), error));
    EXPECT_EQ(error.code, kStatusParam);
}

TEST(Keychain, EcIdentityHasNoRsaSignature) {
    using namespace keychain;
    auto ec = TestPki::instance().issueEcClient("EC Identity");
    Identity identity;
    ASSERT_EQ(copyIdentity(tavo::test::importKeychainIdentity(ec), identity), kStatusOk);
    PrivateKey key;
    ASSERT_EQ(copyPrivateKey(identity, key), kStatusOk);
    Error error;
    EXPECT_FALSE(createRawPkcs1Signature(key, digestInfo(), error));
    EXPECT_EQ(error.code, kStatusParam);
    EXPECT_FALSE(error.description.empty());
}

TEST(Keychain, InjectedFailuresComeBackUntilCleared) {
    using namespace keychain;
    auto cert = TestPki::instance().issueClient("Injected");
    auto ref = tavo::test::importKeychainIdentity(cert);
    Identity identity;
    ASSERT_EQ(copyIdentity(ref, identity), kStatusOk);
    PrivateKey key;
    ASSERT_EQ(copyPrivateKey(identity, key), kStatusOk);
    std::string data;
    std::vector<std::string> accounts;
    std::vector<Identity> ids;
    Error error;
    {
        tavo::test::ScopedKeychainFailure add(Operation::Add, -61);
        tavo::test::ScopedKeychainFailure update(Operation::Update, -62);
        tavo::test::ScopedKeychainFailure del(Operation::Delete, -63);
        tavo::test::ScopedKeychainFailure copy(Operation::CopyMatching, -64);
        tavo::test::ScopedKeychainFailure priv(Operation::CopyPrivateKey, -65);
        tavo::test::ScopedKeychainFailure sign(Operation::CreateSignature, kStatusUserCanceled);
        EXPECT_EQ(addGenericPassword("s", "a", "d"), -61);
        EXPECT_EQ(importIdentity(tavo::test::readFile(cert.keyFile), cert.certDer, std::nullopt), -61);
        EXPECT_EQ(updateGenericPassword("s", "a", "d"), -62);
        EXPECT_EQ(deleteGenericPassword("s", "a"), -63);
        EXPECT_EQ(copyGenericPassword("s", "a", data), -64);
        EXPECT_EQ(copyGenericPasswordAccounts("s", accounts), -64);
        EXPECT_EQ(copyIdentities(ids), -64);
        EXPECT_EQ(copyIdentity(ref, identity), -64);
        PrivateKey other;
        EXPECT_EQ(copyPrivateKey(identity, other), -65);
        EXPECT_FALSE(createRawPkcs1Signature(key, digestInfo(), error));
        EXPECT_EQ(error.code, kStatusUserCanceled);
    }
    EXPECT_EQ(addGenericPassword("s", "a", "d"), kStatusOk);
    EXPECT_EQ(copyIdentities(ids), kStatusOk);
    EXPECT_TRUE(createRawPkcs1Signature(key, digestInfo(), error));
}

TEST(Keychain, NoHomeMeansNoKeychain) {
    tavo::test::ScopedEnv noHome("HOME", nullptr);
    std::string data;
    std::vector<keychain::Identity> ids;
    EXPECT_EQ(keychain::addGenericPassword("s", "a", "d"), keychain::kStatusFailed);
    EXPECT_EQ(keychain::copyGenericPassword("s", "a", data), keychain::kStatusFailed);
    EXPECT_EQ(keychain::copyIdentities(ids), keychain::kStatusFailed);
}
