#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/Paths.h"
#include "support/TempDir.h"

using tavo::Paths;
using tavo::test::ScopedEnv;

TEST(Paths, FoldersFollowHome) {
    ScopedEnv home("HOME", "/Users/a");
    EXPECT_EQ(Paths::localAppData(), "/Users/a/Library/Application Support");
    EXPECT_EQ(Paths::logsDir(), "/Users/a/Library/Application Support/TAVOAgent/Logs");
    EXPECT_EQ(Paths::stampitRoot(), "/Users/a/Library/Application Support/TAVOAgent/StampIT");
    EXPECT_EQ(Paths::stampitJars(), Paths::stampitRoot());
    EXPECT_EQ(Paths::stampitNative(), "/Users/a/Library/Application Support/TAVOAgent/StampIT/native");
    EXPECT_EQ(Paths::stampitWrapperDir(), "/Users/a/Library/Application Support/TAVOAgent/StampIT/wrapper");
}

TEST(Paths, UnsetHomeGivesRelativeFolders) {
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(Paths::localAppData(), "");
    EXPECT_EQ(Paths::logsDir(), "TAVOAgent/Logs");
    EXPECT_EQ(Paths::stampitNative(), "TAVOAgent/StampIT/native");
}

TEST(Paths, TrailingSlashInHomeIsPlainConcatenation) {
    ScopedEnv home("HOME", "/h/");
    EXPECT_EQ(Paths::localAppData(), "/h//Library/Application Support");
}

TEST(Paths, ExecutableDirIsThisTestsFolder) {
    std::string dir = Paths::executableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir)));
    EXPECT_EQ(std::filesystem::canonical(dir), std::filesystem::canonical("/proc/self/exe").parent_path());
}

TEST(Paths, EnsureDirectory) {
    tavo::test::TempDir dir;
    EXPECT_TRUE(Paths::ensureDirectory((dir / "a" / "b" / "c").string()));
    EXPECT_TRUE(Paths::ensureDirectory((dir / "a" / "b").string()));
    tavo::test::writeFile(dir / "file", "x");
    EXPECT_FALSE(Paths::ensureDirectory((dir / "file" / "sub").string()));
}

TEST(Paths, ShortPathIsIdentity) {
    const std::string odd = "/tmp/Кирилица и интервали/\x01\xff";
    EXPECT_EQ(Paths::toShortPath(odd), odd);
}

// The agent's folders hold keys, PINs, logs and the applet: user-only, also
// under a umask that would leave them open to others.
TEST(Paths, EnsuredFoldersAreUserOnly) {
    tavo::test::TempDir dir;
    const mode_t oldMask = ::umask(0);
    const bool made = Paths::ensureDirectory((dir / "TAVOAgent" / "Logs").string());
    ::umask(oldMask);
    ASSERT_TRUE(made);
    for (const char* sub : {"TAVOAgent", "TAVOAgent/Logs"}) {
        SCOPED_TRACE(sub);
        struct stat info {};
        ASSERT_EQ(::stat((dir / sub).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
    }
}
