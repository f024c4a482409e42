#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "common/Files.h"
#include "support/TempDir.h"

namespace files = tavo::core::common::files;
namespace fs = std::filesystem;
using files::ReadError;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

// Names left in a folder beside the expected ones (temporary files).
std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    return names;
}

}  // namespace

TEST(Files, ReadRefusesWhatIsNotARegularFile) {
    tavo::test::TempDir dir;
    tavo::test::writeFile(dir / "plain", "content");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "plain", dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");

    struct Case {
        const char* name;
        bool followLinks;
        ReadError expected;
        uint64_t maxBytes = 7;  // "content" fits exactly
    };
    const Case cases[] = {
        {"plain", true, ReadError::None},
        {"plain", true, ReadError::TooLarge, 6},
        {"plain", true, ReadError::TooLarge, 0},
        {"link", true, ReadError::None},
        {"link", false, ReadError::NotRegular},
        {"fifo", true, ReadError::NotRegular},  // no writer: a blocking open would hang here
        {"folder", true, ReadError::NotRegular},
        {"missing", true, ReadError::NotFound},
        {"dangling", true, ReadError::NotFound},
        {"plain/below", true, ReadError::NotFound},
        {"/dev/null", true, ReadError::NotRegular},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.followLinks ? "" : " (links refused)") + " max " +
                     std::to_string(c.maxBytes));
        files::ReadOptions options;
        options.followLinks = c.followLinks;
        options.maxBytes = c.maxBytes;
        const std::string path = c.name[0] == '/' ? std::string(c.name) : (dir / c.name).string();
        files::ReadResult r = files::readRegularFile(path, options);
        EXPECT_EQ(r.error, c.expected) << r.reason;
        EXPECT_EQ(r.ok(), c.expected == ReadError::None);
        if (r.ok()) {
            EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), "content");
        } else {
            EXPECT_TRUE(r.bytes.empty());
            EXPECT_FALSE(r.reason.empty());
        }
    }
}

// Written and read back whole, large or empty.
TEST(Files, ReplaceWritesWholeFileWithTheGivenMode) {
    tavo::test::TempDir dir;
    const fs::path target = dir / "item";
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 + (i >> 12));
    struct Case {
        std::string content;
        mode_t mode;
    };
    // Replaced again and again: the mode is the one asked for, whatever the file had.
    for (const Case& c : {Case{"first", 0600}, Case{large, 0644}, Case{"", 0600}}) {
        SCOPED_TRACE(c.content.size());
        files::WriteResult w = files::replaceFileAtomically(target.string(), c.content, c.mode);
        ASSERT_TRUE(w) << w.reason;
        EXPECT_TRUE(tavo::test::readFile(target) == c.content);
        files::ReadResult r = files::readRegularFile(target.string());
        EXPECT_TRUE(r.ok() && std::string(r.bytes.begin(), r.bytes.end()) == c.content) << r.reason;
        EXPECT_EQ(modeOf(target), c.mode);
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"item"});
    }
}

TEST(Files, FailedReplaceKeepsTheOldContentAndLeavesNoTemporaryFile) {
    tavo::test::TempDir dir;
    const fs::path target = dir / "item";
    tavo::test::writeFile(target, "old content");

    // A file size limit makes the write of the new content fail half-way.
    struct rlimit before {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    files::WriteResult w = files::replaceFileAtomically(target.string(), std::string(100000, 'n'), 0600);
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(w);
    EXPECT_NE(w.reason.find("cannot write"), std::string::npos) << w.reason;
    EXPECT_EQ(tavo::test::readFile(target), "old content");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"item"});

    // A folder in the way of the rename: refused, nothing left behind.
    fs::create_directory(dir / "folder");
    files::WriteResult overFolder = files::replaceFileAtomically((dir / "folder").string(), std::string("x"), 0600);
    EXPECT_FALSE(overFolder);
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
    EXPECT_EQ(namesIn(dir.path()).size(), 2u);
}

TEST(Files, CreatedFoldersAreUserOnlyAndExistingOnesAreLeftAlone) {
    tavo::test::TempDir dir;
    fs::create_directory(dir / "shared");
    fs::permissions(dir / "shared", fs::perms(0755));
    const mode_t oldMask = ::umask(022);
    const bool made = files::createUserDirectories((dir / "shared" / "a" / "b" / "c/").string());
    ::umask(oldMask);
    ASSERT_TRUE(made);
    EXPECT_EQ(modeOf(dir / "shared"), 0755u);
    for (const char* sub : {"shared/a", "shared/a/b", "shared/a/b/c"}) {
        SCOPED_TRACE(sub);
        EXPECT_EQ(modeOf(dir / sub), 0700u);
    }
    EXPECT_TRUE(files::createUserDirectories((dir / "shared" / "a").string()));
    tavo::test::writeFile(dir / "file", "x");
    EXPECT_FALSE(files::createUserDirectories((dir / "file").string()));
    EXPECT_FALSE(files::createUserDirectories((dir / "file" / "sub").string()));
    EXPECT_FALSE(files::createUserDirectories(""));
}
