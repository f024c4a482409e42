// The applet cache holds only what the agent wrote: anything else in place
// of the native library or the wrapper class is replaced or refused, never
// loaded. Starts `java -version`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
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

void makeOld(const fs::path& file) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

TEST(StampItCache, OnlyFilesOfOurOwnCountAsInstalled) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& userFile)> plant;
        bool installed;
    };
    const Case cases[] = {
        {"native library a FIFO",
         [](const fs::path&) {
             fs::remove(nativeLib());
             ASSERT_EQ(::mkfifo(nativeLib().c_str(), 0600), 0);
         },
         false},
        {"native library a folder",
         [](const fs::path&) {
             fs::remove(nativeLib());
             fs::create_directory(nativeLib());
         },
         false},
        {"native library empty", [](const fs::path&) { writeFile(nativeLib(), ""); }, false},
        {"native library another account's",
         [](const fs::path&) { ASSERT_EQ(::chown(nativeLib().c_str(), 65534, 65534), 0); }, false},
        {"native library a link to the user's file",
         [](const fs::path& userFile) {
             fs::remove(nativeLib());
             fs::create_symlink(userFile, nativeLib());
         },
         false},
        {"wrapper class a link to the user's file",
         [](const fs::path& userFile) {
             fs::remove(wrapperClass());
             fs::create_symlink(userFile, wrapperClass());
         },
         true},
        {"wrapper class a FIFO",
         [](const fs::path&) {
             fs::remove(wrapperClass());
             ASSERT_EQ(::mkfifo(wrapperClass().c_str(), 0600), 0);
         },
         true},
        {"wrapper class an empty folder",
         [](const fs::path&) {
             fs::remove(wrapperClass());
             fs::create_directory(wrapperClass());
         },
         true},
        {"the StampIT folder a link",
         [](const fs::path& userFile) {
             const fs::path root = Paths::stampitRoot();
             fs::rename(root, userFile.parent_path() / "moved");
             fs::create_directory_symlink(userFile.parent_path() / "moved", root);
         },
         false},
    };
    tavo::test::UseJdk17 jdk;
    const std::string shipped = readFile(fs::path(Paths::executableDir()) / "TavoVatUploader.class");
    ASSERT_FALSE(shipped.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavo::test::TempDir home("tavo-home"), user;
        tavo::test::ScopedEnv env("HOME", home.str().c_str());
        tavo::test::seedStampItCache();
        const fs::path userFile = user / "notes.txt";
        writeFile(userFile, "the user's own text");
        c.plant(userFile);
        tavo::test::LogCapture log;
        StampItBridge bridge;  // no fetcher, every portal host closed: nothing can be downloaded
        EXPECT_EQ(bridge.ensureInstalled({}), c.installed) << log.text();
        EXPECT_EQ(readFile(userFile), "the user's own text");
        if (c.installed) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(wrapperClass())));
            EXPECT_EQ(readFile(wrapperClass()), shipped);
        }
    }
}

// What a crashed writer left in the cache goes at the next installation; a
// file a writer may still be renaming stays.
TEST(StampItCache, InstallationSweepsStaleTemporaryFiles) {
    tavo::test::TempDir home("tavo-home");
    tavo::test::ScopedEnv env("HOME", home.str().c_str());
    tavo::test::seedStampItCache();
    const fs::path stale[] = {fs::path(Paths::stampitRoot()) / "LSManager.jar.tmpQw3rTy",
                              nativeLib().string() + ".tmpAbCdEf", wrapperClass().string() + ".tmp123456"};
    const fs::path young = fs::path(Paths::stampitRoot()) / "SignerService.jar.tmpYoUnG1";
    for (const fs::path& f : stale) {
        writeFile(f, "left by a crash");
        makeOld(f);
    }
    writeFile(young, "being written");
    tavo::test::UseJdk17 jdk;
    StampItBridge bridge;
    ASSERT_TRUE(bridge.ensureInstalled({}));
    for (const fs::path& f : stale) EXPECT_FALSE(fs::exists(fs::symlink_status(f))) << f;
    EXPECT_TRUE(fs::exists(young));
}

}  // namespace
