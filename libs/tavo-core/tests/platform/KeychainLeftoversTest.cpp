// A PIN removed from the store leaves no copy on disk, whatever point a
// storing process died at; and a store without a home fails cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/Base64.h"
#include "infrastructure/security/PinStore.h"
#include "platform/Keychain.h"
#include "platform/KeychainTesting.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
namespace keychain = tavo::platform::keychain;
using tavo::security::PinStore;
using tavo::test::readFile;
using tavo::test::ScopedEnv;
using tavo::test::writeFile;

namespace {

const std::string kPin = "735919";

const std::string kPinB64 =
    tavo::core::common::base64::encode(reinterpret_cast<const unsigned char*>(kPin.data()), kPin.size());

// Files of the store folder that hold the PIN in any form it is written in,
// and those left under a temporary name.
std::vector<std::string> filesHoldingThePin(bool temporaryOnes = false) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(keychain::storageDirectory(), ec)) {
        const std::string name = entry.path().filename().string();
        const std::string text = readFile(entry.path());
        const bool holds = text.find(kPinB64) != std::string::npos || text.find(kPin) != std::string::npos;
        if (temporaryOnes ? name.find(".tmp") != std::string::npos : holds) found.push_back(name);
    }
    return found;
}

std::vector<std::string> temporaryFiles() {
    return filesHoldingThePin(true);
}

// What a writer killed between writing and renaming leaves: the whole item
// under its temporary name.
void plantLeftover(const std::string& pid) {
    std::string item;
    for (const auto& entry : fs::directory_iterator(keychain::storageDirectory())) {
        if (entry.path().extension() == ".item") item = entry.path().filename().string();
    }
    ASSERT_FALSE(item.empty());
    writeFile(fs::path(keychain::storageDirectory()) / (item + ".tmp" + pid),
              "{\"class\":\"genp\",\"data\":\"" + kPinB64 + "\"}");
}

}  // namespace

TEST(KeychainLeftovers, EveryUseOfTheStoreSweepsWhatADeadWriterLeft) {
    struct Case {
        const char* name;
        std::function<void()> use;
    };
    const Case cases[] = {
        {"opening to read", [] { PinStore::load("someone-else"); }},
        {"opening to add", [] { PinStore::store("another-card", "1111"); }},
        {"remove", [] { EXPECT_TRUE(PinStore::remove("1:AB")); }},
        {"clearAll", [] { EXPECT_TRUE(PinStore::clearAll()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(PinStore::store("1:AB", kPin));
        plantLeftover("4242");
        plantLeftover("17");
        ASSERT_EQ(temporaryFiles().size(), 2u);
        c.use();
        EXPECT_TRUE(temporaryFiles().empty());
        PinStore::remove("1:AB");
        EXPECT_TRUE(filesHoldingThePin().empty());
    }
}

TEST(KeychainLeftovers, StoringChildKilledAtRandomPointsLeavesNoPinAfterRemoval) {
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> pause(0, 4000);  // microseconds before the kill
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Every store rewrites the item through a temporary file; the
            // parent hears after the first round.
            for (bool told = false;; told = true) {
                PinStore::store("1:AB", kPin);
                PinStore::store("2:CD", kPin);
                if (!told && ::write(ready[1], "x", 1) != 1) ::_exit(1);
            }
        }
        ::close(ready[1]);
        char byte = 0;
        const ssize_t heard = ::read(ready[0], &byte, 1);
        ::close(ready[0]);
        if (heard == 1) ::usleep(static_cast<useconds_t>(pause(random)));
        ::kill(child, SIGKILL);  // on every path: a child left storing would outlive the test
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_EQ(heard, 1);
        ASSERT_TRUE(WIFSIGNALED(status));
        if (round % 2 == 0) {
            EXPECT_TRUE(PinStore::remove("1:AB"));
            EXPECT_TRUE(PinStore::remove("2:CD"));
        } else {
            EXPECT_TRUE(PinStore::clearAll());
        }
        EXPECT_TRUE(filesHoldingThePin().empty());
        EXPECT_TRUE(temporaryFiles().empty());
    }
}

TEST(KeychainLeftovers, EmptyHomeIsNoHome) {
    for (const char* home : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(home ? "HOME empty" : "HOME unset");
        ScopedEnv env("HOME", home);
        EXPECT_EQ(keychain::storageDirectory(), "");
        EXPECT_EQ(keychain::addGenericPassword("svc", "acct", kPin), keychain::kStatusFailed);
        std::string data;
        EXPECT_EQ(keychain::copyGenericPassword("svc", "acct", data), keychain::kStatusFailed);
        EXPECT_FALSE(PinStore::store("1:AB", kPin));
        EXPECT_FALSE(PinStore::load("1:AB").has_value());
    }
}
