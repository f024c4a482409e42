#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "infrastructure/security/PinStore.h"
#include "platform/Keychain.h"
#include "support/KeychainTestSupport.h"

using tavo::security::PinStore;
namespace keychain = tavo::platform::keychain;

TEST(PinStore, StoreLoadOverwriteRemove) {
    EXPECT_FALSE(PinStore::load("1:AB").has_value());
    EXPECT_TRUE(PinStore::remove("never-stored"));
    EXPECT_TRUE(PinStore::store("1:AB", "1234"));
    EXPECT_EQ(PinStore::load("1:AB"), std::optional<std::string>("1234"));
    EXPECT_TRUE(PinStore::store("1:AB", "98765"));
    EXPECT_EQ(PinStore::load("1:AB"), std::optional<std::string>("98765"));
    EXPECT_EQ(PinStore::listStoredIds(), (std::vector<std::string>{"1:AB"}));
    EXPECT_TRUE(PinStore::store("1:AC", ""));
    EXPECT_EQ(PinStore::load("1:AC"), std::optional<std::string>(""));
    EXPECT_TRUE(PinStore::remove("1:AB"));
    EXPECT_FALSE(PinStore::load("1:AB").has_value());
    EXPECT_EQ(PinStore::load("1:AC"), std::optional<std::string>(""));
}

TEST(PinStore, ItemsAreGenericPasswordsOfTheAgentService) {
    ASSERT_TRUE(PinStore::store("aWRudA==", "4321"));
    std::string data;
    ASSERT_EQ(keychain::copyGenericPassword("TavoAgentC.pin", "aWRudA==", data), keychain::kStatusOk);
    EXPECT_EQ(data, "4321");
    // Passwords of other services are not PINs.
    ASSERT_EQ(keychain::addGenericPassword("Other.service", "x", "y"), keychain::kStatusOk);
    EXPECT_EQ(PinStore::listStoredIds(), (std::vector<std::string>{"aWRudA=="}));
}

TEST(PinStore, ListSkipsAccountsTooLongForTheBuffer) {
    const std::string fits(511, 'a');
    const std::string tooLong(512, 'b');
    ASSERT_TRUE(PinStore::store("first", "1"));
    ASSERT_TRUE(PinStore::store(fits, "2"));
    ASSERT_TRUE(PinStore::store(tooLong, "3"));
    ASSERT_TRUE(PinStore::store("last", "4"));
    EXPECT_EQ(PinStore::listStoredIds(), (std::vector<std::string>{"first", fits, "last"}));
}

TEST(PinStore, ClearAllRemovesEveryPin) {
    EXPECT_TRUE(PinStore::clearAll());
    for (const char* id : {"1:01", "2:02", "3:03"}) ASSERT_TRUE(PinStore::store(id, "0000"));
    EXPECT_EQ(PinStore::listStoredIds().size(), 3u);
    EXPECT_TRUE(PinStore::clearAll());
    EXPECT_TRUE(PinStore::listStoredIds().empty());
    EXPECT_FALSE(PinStore::load("2:02").has_value());
}

TEST(PinStore, ClearAllRemovesAlsoPinsTheListLeavesOut) {
    const std::string unlisted[] = {std::string(600, 'l'), std::string("1:A\0B", 5), "\xC0\xAF:bad-utf8"};
    for (const std::string& id : unlisted) ASSERT_TRUE(PinStore::store(id, "0000"));
    ASSERT_TRUE(PinStore::store("1:01", "0000"));
    EXPECT_EQ(PinStore::listStoredIds(), (std::vector<std::string>{"1:01"}));
    EXPECT_TRUE(PinStore::clearAll());
    std::vector<std::string> accounts;
    EXPECT_EQ(keychain::copyGenericPasswordAccounts("TavoAgentC.pin", accounts), keychain::kStatusItemNotFound);
    for (const std::string& id : unlisted) EXPECT_FALSE(PinStore::load(id).has_value());
    // While one cannot be removed, clearAll says so.
    ASSERT_TRUE(PinStore::store(unlisted[0], "0000"));
    {
        tavo::test::ScopedKeychainFailure del(keychain::Operation::Delete, -34);
        EXPECT_FALSE(PinStore::clearAll());
    }
    EXPECT_TRUE(PinStore::clearAll());
}

TEST(PinStore, FailedWriteKeepsThePinStoredBefore) {
    ASSERT_TRUE(PinStore::store("1:AB", "1234"));
    std::string log;
    {
        tavo::test::ScopedKeychainFailure update(keychain::Operation::Update, -34);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(PinStore::store("1:AB", "5555"));
        log = testing::internal::GetCapturedStderr();
    }
    {
        tavo::test::ScopedKeychainFailure add(keychain::Operation::Add, -35);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(PinStore::store("1:AB", "5555") && PinStore::store("2:CD", "6666"));
        log += testing::internal::GetCapturedStderr();
    }
    EXPECT_NE(log.find("[ERROR] SecItemUpdate failed: -34"), std::string::npos) << log;
    EXPECT_NE(log.find("[ERROR] SecItemAdd failed: -35"), std::string::npos) << log;
    EXPECT_EQ(log.find("6666"), std::string::npos);
    EXPECT_EQ(log.find("5555"), std::string::npos);
    // The update succeeded while only adding was broken.
    EXPECT_EQ(PinStore::load("1:AB"), std::optional<std::string>("5555"));
    ASSERT_TRUE(PinStore::store("1:AB", "1234"));
    EXPECT_EQ(PinStore::load("1:AB"), std::optional<std::string>("1234"));
    EXPECT_FALSE(PinStore::load("2:CD").has_value());
}

TEST(PinStore, FailuresOfTheKeychainReadAsNothing) {
    ASSERT_TRUE(PinStore::store("1:AB", "1234"));
    {
        tavo::test::ScopedKeychainFailure del(keychain::Operation::Delete, -34);
        EXPECT_FALSE(PinStore::remove("1:AB"));
        EXPECT_FALSE(PinStore::clearAll());
    }
    tavo::test::ScopedKeychainFailure copy(keychain::Operation::CopyMatching, -34);
    EXPECT_FALSE(PinStore::load("1:AB").has_value());
    EXPECT_TRUE(PinStore::listStoredIds().empty());
}

namespace {
int childLoadsAndStores(void*) {
    if (PinStore::load("1:AB") != std::optional<std::string>("1234")) return 1;
    return PinStore::store("9:FF", "child-pin") ? 0 : 2;
}
}  // namespace

TEST(PinStore, SecondProcessReadsWhatTheFirstStored) {
    ASSERT_TRUE(PinStore::store("1:AB", "1234"));
    EXPECT_EQ(tavo::test::runInChildProcess(childLoadsAndStores, nullptr), 0);
    EXPECT_EQ(PinStore::load("9:FF"), std::optional<std::string>("child-pin"));
}
