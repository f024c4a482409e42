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

// Only non-empty files of our own count (which files are ours: see Files): a
// native library that is not one leaves the applet uninstalled (nothing can be
// downloaded here); a wrapper class that is not one is written afresh from the
// shipped copy, never through a link.
TEST(StampItCache, OnlyFilesOfOurOwnCountAsInstalled) {
    using Plant = void (*)(const fs::path& at, const fs::path& userFile);
    struct Case {
        const char* name;
        fs::path (*where)();
        Plant plant;
        bool installed;
    };
    const Case cases[] = {
        {"native library empty", nativeLib, [](const fs::path& at, const fs::path&) { writeFile(at, ""); }, false},
        {"native library another account's", nativeLib,
         [](const fs::path& at, const fs::path&) { ASSERT_EQ(::chown(at.c_str(), 65534, 65534), 0); }, false},
        {"wrapper class a link to the user's file", wrapperClass,
         [](const fs::path& at, const fs::path& user) { fs::remove(at), fs::create_symlink(user, at); }, true},
        {"wrapper class an empty folder", wrapperClass,
         [](const fs::path& at, const fs::path&) { fs::remove(at), fs::create_directory(at); }, true},
    };
    tavo::test::UseJdk17 jdk;
    const std::string shipped = readFile(fs::path(Paths::executableDir()) / "TavoVatUploader.class");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavo::test::TempDir home("tavo-home"), user;
        tavo::test::ScopedEnv env("HOME", home.str().c_str());
        tavo::test::seedStampItCache();
        writeFile(user / "notes.txt", "the user's own text");
        c.plant(c.where(), user / "notes.txt");
        EXPECT_EQ(StampItBridge().ensureInstalled({}), c.installed);  // no fetcher, every portal host closed
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
    const fs::path root = Paths::stampitRoot();
    struct Left {
        fs::path path;
        bool aged, swept;
    };
    const Left left[] = {
        {root / "LSManager.jar.tmpQw3rTy", true, true},       {nativeLib().string() + ".tmpAbCdEf", true, true},
        {wrapperClass().string() + ".tmp123456", true, true}, {root / "notes.tmp", true, false},
        {root / "LSManager.jar.tmpTooLong7", true, false},    {root / "SignerService.jar.tmpYoUnG1", false, false},
    };
    const struct timespec old[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
    for (const Left& f : left) {
        writeFile(f.path, "left by a writer");
        ASSERT_EQ(f.aged ? ::utimensat(AT_FDCWD, f.path.c_str(), old, 0) : 0, 0);
    }
    tavo::test::UseJdk17 jdk;
    ASSERT_TRUE(StampItBridge().ensureInstalled({}));
    for (const Left& f : left) EXPECT_NE(fs::exists(f.path), f.swept) << f.path;
}

}  // namespace
