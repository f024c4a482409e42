// The store reads only what is the user's own, and an item it cannot read
// fails the call: never "no item", never success.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "infrastructure/security/PinStore.h"
#include "platform/Keychain.h"
#include "platform/KeychainTesting.h"
#include "support/KeychainTestSupport.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
namespace keychain = tavo::platform::keychain;
using tavo::security::PinStore;
using tavo::test::TempDir;
using Pin = std::optional<std::string>;
using Ids = std::vector<std::string>;

namespace {

const std::string kService = "TavoAgentC.pin";

// A HOME of one table case's own.
struct OwnHome {
    TempDir dir{"tavo-home"};
    tavo::test::ScopedEnv env{"HOME", dir.str().c_str()};
};

// Run in a child left only the descriptors for the folder and the lock, so
// that no item can be opened: a bit for each call that did not fail.
int callsWithNoDescriptorForAnItem(void*) {
    ::close_range(3, ~0U, 0);
    const rlimit tight{3 + 2, 3 + 2};
    if (::setrlimit(RLIMIT_NOFILE, &tight) != 0) return 8;
    std::string data;
    int succeeded = keychain::copyGenericPassword(kService, "1:AB", data) != keychain::kStatusFailed ? 1 : 0;
    if (PinStore::remove("1:AB")) succeeded |= 2;
    if (PinStore::clearAll()) succeeded |= 4;
    return succeeded;
}

}  // namespace

// A planted item is skipped with a warning and never returned, the call still
// succeeding (every kind of file refused: see Files).
TEST(KeychainTrust, ItemsNotOurOwnAreSkipped) {
    using Plant = void (*)(const fs::path& item);
    const std::pair<const char*, Plant> cases[] = {
        {"another account's item", [](const fs::path& item) { ASSERT_EQ(::chown(item.c_str(), 65534, 0), 0); }},
        {"an item over 64 KiB",
         [](const fs::path& item) {  // still a well-formed item: only the cap stops it
             tavo::test::writeFile(item, tavo::test::readFile(item) + std::string(64 * 1024, ' '));
         }},
    };
    for (const auto& [name, plant] : cases) {
        SCOPED_TRACE(name);
        OwnHome home;
        tavo::test::LogCapture log;
        ASSERT_TRUE(PinStore::store("1:AB", "6666"));
        fs::path item;  // the one item so far
        for (const auto& e : fs::directory_iterator(keychain::storageDirectory()))
            if (e.path().extension() == ".item") item = e.path();
        ASSERT_TRUE(PinStore::store("2:CD", "2222"));
        plant(item);

        EXPECT_EQ(PinStore::load("1:AB"), std::nullopt);
        EXPECT_EQ(PinStore::load("2:CD"), Pin("2222"));
        EXPECT_EQ(PinStore::listStoredIds(), Ids{"2:CD"});
        EXPECT_TRUE(log.contains("[WARN ] Keychain: item ")) << log.text();
        // A new PIN for the same id is stored beside it and is the one read.
        EXPECT_TRUE(PinStore::store("1:AB", "3333"));
        EXPECT_EQ(PinStore::load("1:AB"), Pin("3333"));
    }
}

// An item that is there but cannot be opened fails every call; nothing changes.
TEST(KeychainTrust, UnreadableItemFailsTheWholeCall) {
    ASSERT_TRUE(PinStore::store("1:AB", "1111"));
    EXPECT_EQ(tavo::test::runInChildProcess(callsWithNoDescriptorForAnItem, nullptr), 0);
    EXPECT_EQ(PinStore::listStoredIds(), Ids{"1:AB"});
    EXPECT_EQ(PinStore::load("1:AB"), Pin("1111"));
}

// Reads need no write access (a read-only bind mount: root ignores mode bits).
TEST(KeychainTrust, ReadOnlyHomeStillReads) {
    ASSERT_TRUE(PinStore::store("1:AB", "1111"));
    fs::remove(fs::path(keychain::storageDirectory()) / ".lock");  // as a store made before the lock file
    const std::string home = std::getenv("HOME");
    if (::mount(home.c_str(), home.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "no bind mount allowed here: " << std::strerror(errno);
    if (::mount(nullptr, home.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0) {
        EXPECT_EQ(PinStore::load("1:AB"), Pin("1111"));
        EXPECT_EQ(PinStore::listStoredIds(), Ids{"1:AB"});
        EXPECT_FALSE(PinStore::store("1:AB", "2222"));
    } else {
        ADD_FAILURE() << "read-only remount: " << std::strerror(errno);
    }
    ASSERT_EQ(::umount(home.c_str()), 0) << std::strerror(errno);
}

// A Keychain folder that is a link, or below one: nothing written, read or
// swept there; a read fails rather than finding no item (another account's
// folder: see Files).
TEST(KeychainTrust, PlantedKeychainFolderIsRefused) {
    for (const bool agentFolder : {false, true}) {
        SCOPED_TRACE(agentFolder ? "the agent's folder a link" : "the Keychain folder a link");
        OwnHome home;
        TempDir elsewhere;
        fs::create_directory(elsewhere / "Keychain");
        tavo::test::writeFile(elsewhere / "notes.item.tmp1", "the user's file");
        const fs::path store = keychain::storageDirectory(), linked = agentFolder ? store.parent_path() : store;
        fs::create_directories(linked.parent_path());
        fs::create_directory_symlink(elsewhere.path(), linked);
        EXPECT_FALSE(PinStore::store("1:AB", "1111"));
        std::string data;
        EXPECT_EQ(keychain::copyGenericPassword(kService, "1:AB", data), keychain::kStatusFailed);
        EXPECT_TRUE(fs::exists(elsewhere / "notes.item.tmp1"));
        EXPECT_EQ(std::distance(fs::recursive_directory_iterator(elsewhere.path()), {}), 2);
    }
}
