// The applet cache holds only what the agent wrote: anything else in place
// of the native library or the wrapper class is replaced or refused, never
// loaded. Starts `java -version`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "common/Paths.h"
#include "infrastructure/java/StampItBridge.h"
#include "support/LogCapture.h"
#include "support/StampItRig.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using tavo::Paths;
using tavo::stampit::StampItBridge;
using tavo::test::readFile;
using tavo::test::writeFile;

fs::path nativeLib() {
    return fs::path(Paths::stampitNative()) / "libvatclient.dylib";
}
fs::path wrapperClass() {
    return fs::path(Paths::stampitWrapperDir()) / "TavoVatUploader.class";
}
fs::path stampitRoot() {
    return Paths::stampitRoot();
}

enum class Plant { Folder, Empty, Foreign, LinkToUserFile };

void plant(const fs::path& at, Plant what, const fs::path& userFile) {
    if (what == Plant::Empty) writeFile(at, "");
    if (what == Plant::Foreign) {
        ASSERT_EQ(::chown(at.c_str(), 65534, 65534), 0);
    }
    if (what == Plant::Folder || what == Plant::LinkToUserFile) fs::remove(at);
    if (what == Plant::Folder) fs::create_directory(at);
    if (what == Plant::LinkToUserFile) fs::create_symlink(userFile, at);
}

// Only non-empty files of our own count (which files are ours: see Files): a
// native library that is not one leaves the applet uninstalled (nothing can be
// downloaded here); a wrapper class that is not one is written afresh from the
// shipped copy, never through a link.
TEST(StampItCache, OnlyFilesOfOurOwnCountAsInstalled) {
    struct Case {
        const char* name;
        fs::path (*where)();
        Plant what;
        bool installed;
    };
    const Case cases[] = {
        {"native library empty", nativeLib, Plant::Empty, false},
        {"native library another account's", nativeLib, Plant::Foreign, false},
        {"wrapper class a link to the user's file", wrapperClass, Plant::LinkToUserFile, true},
        {"wrapper class an empty folder", wrapperClass, Plant::Folder, true},
    };
    tavo::test::UseJdk17 jdk;
    const std::string shipped = readFile(fs::path(Paths::executableDir()) / "TavoVatUploader.class");
    ASSERT_FALSE(shipped.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavo::test::TempDir home("tavo-home"), user;
        tavo::test::ScopedEnv env("HOME", home.str().c_str());
        tavo::test::seedStampItCache();
        writeFile(user / "notes.txt", "the user's own text");
        plant(c.where(), c.what, user / "notes.txt");
        tavo::test::LogCapture log;
        StampItBridge bridge;  // no fetcher, every portal host closed
        EXPECT_EQ(bridge.ensureInstalled({}), c.installed) << log.text();
        EXPECT_EQ(readFile(user / "notes.txt"), "the user's own text");
        if (c.installed) {
            EXPECT_EQ(readFile(wrapperClass()), shipped);
        }
    }
}

// What a crashed writer left goes at the next installation, in every folder of
// the cache; a file a writer may still be renaming stays, and so do old files
// under other names.
TEST(StampItCache, InstallationSweepsStaleTemporaryFiles) {
    tavo::test::seedStampItCache();
    const std::pair<fs::path, bool> aged[] = {
        // swept?
        {stampitRoot() / "LSManager.jar.tmpQw3rTy", true},    {nativeLib().string() + ".tmpAbCdEf", true},
        {wrapperClass().string() + ".tmp123456", true},       {stampitRoot() / "notes.tmp", false},
        {stampitRoot() / "LSManager.jar.tmpTooLong7", false},
    };
    const fs::path young = stampitRoot() / "SignerService.jar.tmpYoUnG1";
    const struct timespec old[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
    for (const auto& [f, swept] : aged) {
        writeFile(f, "left by a crash");
        ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), old, 0), 0);
    }
    writeFile(young, "being written");
    tavo::test::UseJdk17 jdk;
    ASSERT_TRUE(StampItBridge().ensureInstalled({}));
    for (const auto& [f, swept] : aged) EXPECT_NE(fs::exists(f), swept) << f;
    EXPECT_TRUE(fs::exists(young));
}

}  // namespace
