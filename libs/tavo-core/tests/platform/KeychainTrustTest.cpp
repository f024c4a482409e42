// The store reads only what is the user's own, and an item it cannot read
// fails the call: never "no item", never success.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "infrastructure/security/PinStore.h"
#include "platform/Keychain.h"
#include "platform/KeychainTesting.h"
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

// Leaves exactly `free` descriptors to the process until destroyed: the holes
// below the highest open one are filled, the soft limit set just above it.
class DescriptorPressure {
public:
    explicit DescriptorPressure(int free) {
        ::getrlimit(RLIMIT_NOFILE, &before_);
        int highest = 2;
        for (const auto& e : fs::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(e.path().filename().string()));
        for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) {
            fillers_.push_back(fd);
            if (fd >= highest) break;
        }
        struct rlimit tight = before_;
        tight.rlim_cur = static_cast<rlim_t>(std::max(highest, fillers_.back()) + 1 + free);
        ::setrlimit(RLIMIT_NOFILE, &tight);
    }
    ~DescriptorPressure() {
        ::setrlimit(RLIMIT_NOFILE, &before_);
        for (int fd : fillers_) ::close(fd);
    }

private:
    struct rlimit before_ {};
    std::vector<int> fillers_;
};

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
    {
        DescriptorPressure pressure(2);  // the folder and the lock: no item can be opened
        std::string data;
        std::vector<std::string> accounts;
        EXPECT_EQ(keychain::copyGenericPassword(kService, "1:AB", data), keychain::kStatusFailed);
        EXPECT_EQ(keychain::copyGenericPasswordAccounts(kService, accounts), keychain::kStatusFailed);
        EXPECT_FALSE(PinStore::remove("1:AB"));
        EXPECT_FALSE(PinStore::clearAll());
    }
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

// The user's own link to a folder of theirs (the agent's folder moved to
// another disk) holds the PINs; a link leading to another account's folder:
// nothing written, read or swept there, and a read fails rather than finding
// no item (which links are followed: see Files).
TEST(KeychainTrust, LinkedKeychainFolderIsJudgedByItsOwner) {
    struct Case {
        const char* name;
        bool agentFolder;  // the link is the agent's folder, else the Keychain folder
        bool theirs;       // the folder it leads to is another account's
    };
    for (const Case& c :
         {Case{"the agent's folder a link", true, false}, Case{"a link to another account's folder", true, true}}) {
        SCOPED_TRACE(c.name);
        OwnHome home;
        TempDir elsewhere;
        const fs::path kept = c.agentFolder ? elsewhere / "Keychain" : elsewhere.path();
        fs::create_directory(elsewhere / "Keychain");
        for (const fs::path& p : {elsewhere.path(), kept}) fs::permissions(p, fs::perms(0755));
        tavo::test::writeFile(elsewhere / "notes.item.tmp1", "the user's file");
        const fs::path store = keychain::storageDirectory(), linked = c.agentFolder ? store.parent_path() : store;
        fs::create_directories(linked.parent_path());
        fs::create_directory_symlink(elsewhere.path(), linked);
        if (c.theirs) {
            ASSERT_EQ(::chown(elsewhere.path().c_str(), 65534, 65534), 0);
        }
        EXPECT_EQ(PinStore::store("1:AB", "1111"), !c.theirs);
        std::string data;
        EXPECT_EQ(keychain::copyGenericPassword(kService, "1:AB", data),
                  c.theirs ? keychain::kStatusFailed : keychain::kStatusOk);
        if (c.theirs) {
            EXPECT_TRUE(fs::exists(elsewhere / "notes.item.tmp1"));
            EXPECT_EQ(std::distance(fs::recursive_directory_iterator(elsewhere.path()), {}), 2);
        } else {
            EXPECT_EQ(data, "1111");
            EXPECT_EQ(fs::status(kept).permissions(), fs::perms::owner_all);  // the folder, not the link
            EXPECT_EQ(std::count_if(fs::directory_iterator(kept), {},
                                    [](const auto& e) { return e.path().extension() == ".item"; }),
                      1);
        }
    }
}
