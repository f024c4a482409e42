// The store reads only what is the user's own, and an item it cannot read
// fails the call: never "no item", never success.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
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
using tavo::test::ScopedEnv;
using tavo::test::TempDir;

namespace {

constexpr uid_t kOtherAccount = 65534;
const std::string kService = "TavoAgentC.pin";

// A HOME of the test's own: nothing is shared with other tests.
struct OwnHome {
    TempDir dir{"tavo-home"};
    ScopedEnv env{"HOME", dir.str().c_str()};
};

fs::path storeDir() {
    return keychain::storageDirectory();
}

// The one item file of the store (the test stores one PIN).
fs::path onlyItem() {
    for (const auto& e : fs::directory_iterator(storeDir()))
        if (e.path().extension() == ".item") return e.path();
    return {};
}

// Leaves exactly `free` descriptors to the process until destroyed: the
// holes below the highest open descriptor are filled, the soft limit set
// just above it.
class DescriptorPressure {
public:
    explicit DescriptorPressure(int free) {
        ::getrlimit(RLIMIT_NOFILE, &before_);
        int highest = 2;
        for (const auto& e : fs::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(e.path().filename().string()));
        for (;;) {
            const int fd = ::dup(0);
            if (fd < 0) break;
            if (fd > highest) {
                ::close(fd);
                break;
            }
            fillers_.push_back(fd);
        }
        struct rlimit tight = before_;
        tight.rlim_cur = static_cast<rlim_t>(highest + 1 + free);
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

// What is under an item's name but is not a trusted item of ours is skipped
// with a warning; a planted PIN is never returned.
TEST(KeychainTrust, ItemsNotOurOwnAreSkipped) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& item, const std::string& planted)> plant;
    };
    const Case cases[] = {
        {"another account's item",
         [](const fs::path& item, const std::string& planted) {
             tavo::test::writeFile(item, planted);
             ASSERT_EQ(::chown(item.c_str(), kOtherAccount, kOtherAccount), 0);
         }},
        {"an item others can write",
         [](const fs::path& item, const std::string& planted) {
             tavo::test::writeFile(item, planted);
             ASSERT_EQ(::chmod(item.c_str(), 0666), 0);
         }},
        {"a link to an item elsewhere",
         [](const fs::path& item, const std::string& planted) {
             tavo::test::writeFile(item.string() + ".elsewhere", planted);
             fs::remove(item);
             fs::create_symlink(item.string() + ".elsewhere", item);
         }},
        {"an item of 1 MiB",
         [](const fs::path& item, const std::string& planted) {
             tavo::test::writeFile(item, planted + std::string(1 << 20, ' '));
         }},
        {"a FIFO",
         [](const fs::path& item, const std::string&) {
             fs::remove(item);
             ASSERT_EQ(::mkfifo(item.c_str(), 0600), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OwnHome home;
        tavo::test::LogCapture log;
        ASSERT_TRUE(PinStore::store("1:AB", "1111"));
        const fs::path item = onlyItem();
        // The real item, rewritten with another PIN, is what gets planted.
        ASSERT_EQ(keychain::updateGenericPassword(kService, "1:AB", "6666"), keychain::kStatusOk);
        const std::string planted = tavo::test::readFile(item);
        ASSERT_TRUE(PinStore::store("2:CD", "2222"));
        c.plant(item, planted);

        EXPECT_EQ(PinStore::load("1:AB"), std::nullopt);
        EXPECT_EQ(PinStore::load("2:CD"), std::optional<std::string>("2222"));
        EXPECT_EQ(PinStore::listStoredIds(), std::vector<std::string>{"2:CD"});
        EXPECT_TRUE(log.contains("[WARN ] Keychain: item ")) << log.text();
        // A new PIN for the same id is stored beside it and is the one read.
        EXPECT_TRUE(PinStore::store("1:AB", "3333"));
        EXPECT_EQ(PinStore::load("1:AB"), std::optional<std::string>("3333"));
    }
}

// With descriptors running out, an item that is there cannot be opened:
// every call fails, and nothing changes on disk.
TEST(KeychainTrust, UnreadableItemFailsTheWholeCall) {
    OwnHome home;
    ASSERT_TRUE(PinStore::store("1:AB", "1111"));
    std::string data;
    std::vector<std::string> accounts;
    {
        DescriptorPressure pressure(2);  // the folder and the lock: no item can be opened
        EXPECT_EQ(keychain::copyGenericPassword(kService, "1:AB", data), keychain::kStatusFailed);
        EXPECT_EQ(keychain::copyGenericPasswordAccounts(kService, accounts), keychain::kStatusFailed);
        EXPECT_FALSE(PinStore::store("1:AB", "2222"));
        EXPECT_FALSE(PinStore::store("9:FF", "9999"));
        EXPECT_FALSE(PinStore::remove("1:AB"));
        EXPECT_FALSE(PinStore::clearAll());
    }
    EXPECT_EQ(PinStore::load("1:AB"), std::optional<std::string>("1111"));
    EXPECT_EQ(PinStore::listStoredIds(), std::vector<std::string>{"1:AB"});
}

// Reads need no write access: on a read-only home (a read-only bind mount;
// root ignores permission bits) the PIN is there, a write fails.
TEST(KeychainTrust, ReadOnlyHomeStillReads) {
    OwnHome home;
    ASSERT_TRUE(PinStore::store("1:AB", "1111"));
    fs::remove(storeDir() / ".lock");  // as a store made before the lock file
    const std::string mountPoint = home.dir.str();
    if (::mount(mountPoint.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "no bind mount allowed here: " << std::strerror(errno);
    const bool readOnly = ::mount(nullptr, mountPoint.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    EXPECT_TRUE(readOnly) << std::strerror(errno);
    if (readOnly) {
        EXPECT_EQ(PinStore::load("1:AB"), std::optional<std::string>("1111"));
        EXPECT_EQ(PinStore::listStoredIds(), std::vector<std::string>{"1:AB"});
        EXPECT_FALSE(PinStore::store("1:AB", "2222"));
        EXPECT_FALSE(PinStore::remove("1:AB"));
    }
    ASSERT_EQ(::umount(mountPoint.c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(PinStore::load("1:AB"), std::optional<std::string>("1111"));
}

// A Keychain folder that is a link or another account's is refused: nothing
// is written there, nothing read, nothing swept.
TEST(KeychainTrust, PlantedKeychainFolderIsRefused) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& store, const fs::path& elsewhere)> plant;
    };
    const Case cases[] = {
        {"a link to another folder",
         [](const fs::path& store, const fs::path& elsewhere) {
             fs::create_directories(store.parent_path());
             fs::create_directory_symlink(elsewhere, store);
         }},
        {"another account's folder",
         [](const fs::path& store, const fs::path&) {
             fs::create_directories(store);
             ASSERT_EQ(::chown(store.c_str(), kOtherAccount, kOtherAccount), 0);
         }},
        {"the agent's folder a link",
         [](const fs::path& store, const fs::path& elsewhere) {
             fs::create_directories(store.parent_path().parent_path());
             fs::create_directory(elsewhere / "Keychain");
             fs::create_directory_symlink(elsewhere, store.parent_path());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OwnHome home;
        TempDir elsewhere;
        tavo::test::writeFile(elsewhere / "notes.item.tmp1", "the user's file");
        c.plant(storeDir(), elsewhere.path());
        tavo::test::LogCapture log;
        EXPECT_FALSE(PinStore::store("1:AB", "1111"));
        EXPECT_EQ(PinStore::load("1:AB"), std::nullopt);
        std::string data;
        EXPECT_EQ(keychain::copyGenericPassword(kService, "1:AB", data), keychain::kStatusFailed);
        EXPECT_TRUE(fs::exists(elsewhere / "notes.item.tmp1"));
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(elsewhere.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_TRUE(names == std::vector<std::string>{"notes.item.tmp1"} ||
                    names == (std::vector<std::string>{"Keychain", "notes.item.tmp1"}));
        EXPECT_TRUE(log.contains("[ERROR] Keychain: storage folder refused: ")) << log.text();
    }
}

// A folder of ours left open to others is made the user's alone.
TEST(KeychainTrust, OpenKeychainFolderIsTightened) {
    OwnHome home;
    fs::create_directories(storeDir());
    for (fs::path p = storeDir(); p != home.dir.path() / "Library" / "Application Support"; p = p.parent_path())
        ASSERT_EQ(::chmod(p.c_str(), 0777), 0);
    ASSERT_TRUE(PinStore::store("1:AB", "1111"));
    for (const fs::path& p : {storeDir(), storeDir().parent_path()}) {
        SCOPED_TRACE(p.string());
        struct stat info {};
        ASSERT_EQ(::lstat(p.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
}
