#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "common/Files.h"
#include "support/FifoRelease.h"
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
    for (const char* name : {"writable", "theirs", "twice"}) tavo::test::writeFile(dir / name, "content");
    fs::create_hard_link(dir / "twice", dir / "twice-elsewhere");
    ASSERT_EQ(::chmod((dir / "writable").c_str(), 0620), 0);
    ASSERT_EQ(::chown((dir / "theirs").c_str(), 65534, 65534), 0);

    struct Case {
        const char* name;
        bool followLinks;
        ReadError expected;
        uint64_t maxBytes = 7;  // "content" fits exactly
        bool ownOnly = false;   // as the stores read: not another account's file, nor one others can write
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
        {"plain", true, ReadError::None, 7, true},
        {"writable", true, ReadError::NotTrusted, 7, true},
        {"theirs", true, ReadError::NotTrusted, 7, true},
        {"twice", true, ReadError::NotTrusted, 7, true},
        {"theirs", true, ReadError::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.followLinks ? "" : " (links refused)") +
                     (c.ownOnly ? " (own only)" : "") + " max " + std::to_string(c.maxBytes));
        files::ReadOptions options;
        options.followLinks = c.followLinks;
        options.maxBytes = c.maxBytes;
        options.requireOwnFile = c.ownOnly;
        const std::string path = c.name[0] == '/' ? std::string(c.name) : (dir / c.name).string();
        files::ReadResult r;
        tavo::test::callReleasingFifo([&] { r = files::readRegularFile(path, options); }, path, O_WRONLY);
        EXPECT_EQ(r.error, c.expected) << r.reason;
        EXPECT_EQ(r.ok(), c.expected == ReadError::None);
        EXPECT_TRUE(!c.ownOnly || files::trustedFileSize(path).has_value() == r.ok());
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

TEST(Files, CreatedFoldersAreUserOnlyAndFoldersAboveTheBaseAreLeftAlone) {
    tavo::test::TempDir dir;
    fs::create_directory(dir / "shared");
    fs::permissions(dir / "shared", fs::perms(0777));
    const mode_t oldMask = ::umask(0);
    const auto made =
        files::prepareUserDirectory((dir / "shared" / "a" / "b" / "c/").string(), (dir / "shared").string());
    ::umask(oldMask);
    ASSERT_TRUE(made) << made.reason;
    EXPECT_EQ(modeOf(dir / "shared"), 0777u);
    for (const char* sub : {"shared/a", "shared/a/b", "shared/a/b/c"}) {
        SCOPED_TRACE(sub);
        EXPECT_EQ(modeOf(dir / sub), 0700u);
    }
    // Links below the base: see LinksBelowTheBaseAreJudgedByWhoOwnsEachStep.
    tavo::test::writeFile(dir / "file", "x");
    fs::create_directories(dir / "theirs" / "store");
    ASSERT_EQ(::chown((dir / "theirs").c_str(), 65534, 65534), 0);
    for (const fs::path& p : {dir / "file", dir / "file" / "sub", dir / "theirs" / "store", fs::path()}) {
        SCOPED_TRACE(p.string());
        const auto r = files::prepareUserDirectory(p.string(), dir.str());
        EXPECT_FALSE(r);
        EXPECT_TRUE(p.filename() != "store" || r.reason.find("another account") != std::string::npos) << r.reason;
    }
}

// Every folder below the base is looked at as ssh looks at ~/.ssh.
TEST(Files, FoldersBelowTheBaseOpenToOthersAreTightened) {
    struct Case {
        mode_t before;
        bool userOnly;
        mode_t after;
    };
    for (const Case& c : {Case{0777, false, 0700}, Case{0755, false, 0755}, Case{0755, true, 0700}}) {
        SCOPED_TRACE(std::to_string(c.before) + (c.userOnly ? " user only" : ""));
        tavo::test::TempDir base;
        fs::create_directories(base / "agent" / "store");
        for (const fs::path& p : {base / "agent", base / "agent" / "store"}) fs::permissions(p, fs::perms(c.before));
        const auto r = files::prepareUserDirectory((base / "agent" / "store").string(), base.str(),
                                                   files::DirOptions{.userOnly = c.userOnly});
        ASSERT_TRUE(r) << r.reason;
        EXPECT_EQ(modeOf(base / "agent" / "store"), c.after);
    }
    // A reader asks not to create: a missing folder is reported as such.
    tavo::test::TempDir base;
    const auto r = files::prepareUserDirectory((base / "a").string(), base.str(), files::DirOptions{.create = false});
    EXPECT_TRUE(!r && r.missing && !fs::exists(base / "a"));
}

// A user moved the agent's folder to another disk and left a link: a link of
// ours that leads, through links of ours only, to a folder of ours is
// followed, and that folder is the one tightened and filled. Any other link
// is refused, and nothing is made or changed through it.
TEST(Files, LinksBelowTheBaseAreJudgedByWhoOwnsEachStep) {
    enum class Theirs { None, Link, Hop, Folder };  // the step made another account's
    struct Case {
        const char* name;
        const char* link;  // below the base; leads (relative) to elsewhere/moved, or to the hop
        bool hop;          // a second link, elsewhere/hop, leading (absolute) to elsewhere/moved
        Theirs theirs;
        bool away;            // elsewhere/moved is not there (its disk unplugged)
        const char* refused;  // what the reason says; nullptr when followed
    };
    const Case cases[] = {
        {"the agent's folder a link of ours", "agent", false, Theirs::None, false, nullptr},
        {"the store a link of ours", "agent/store", false, Theirs::None, false, nullptr},
        {"a chain of links of ours", "agent", true, Theirs::None, false, nullptr},
        {"a link of another account", "agent", false, Theirs::Link, false, "a link of another account"},
        {"a chain through a link of another account", "agent", true, Theirs::Hop, false, "a link of another account"},
        {"a link leading to another account's folder", "agent", true, Theirs::Folder, false, "another account"},
        {"a link leading nowhere", "agent", true, Theirs::None, true, "a link leading nowhere"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tavo::test::TempDir base, elsewhere;
        const fs::path moved = elsewhere / "moved", hop = elsewhere / "hop", link = base / c.link;
        fs::create_directories(link.parent_path());
        if (!c.away) fs::create_directory(moved), fs::permissions(moved, fs::perms(0777));
        if (c.hop) fs::create_directory_symlink(moved, hop);
        fs::create_directory_symlink((c.hop ? hop : moved).lexically_relative(link.parent_path()), link);
        const fs::path theirs = c.theirs == Theirs::Link ? link : c.theirs == Theirs::Hop ? hop : moved;
        if (c.theirs != Theirs::None) {
            ASSERT_EQ(::lchown(theirs.c_str(), 65534, 65534), 0);
        }

        const auto r = files::prepareUserDirectory((base / "agent" / "store").string(), base.str());
        EXPECT_EQ(r.ok, c.refused == nullptr) << r.reason;
        if (c.refused) {
            EXPECT_NE(r.reason.find(c.refused), std::string::npos) << r.reason;
            EXPECT_EQ(fs::exists(moved), !c.away);  // never made through a link
            EXPECT_TRUE(c.away || (modeOf(moved) == 0777u && fs::is_empty(moved)));
        } else {
            EXPECT_EQ(modeOf(moved), 0700u);  // the folder, not the link
            EXPECT_TRUE(fs::is_symlink(link));
            EXPECT_TRUE(fs::is_directory(base / "agent" / "store"));
        }
    }
}

TEST(Files, DurableRemovalCountsAMissingFileAsRemoved) {
    tavo::test::TempDir dir;
    tavo::test::writeFile(dir / "item", "x");
    EXPECT_TRUE(files::removeFileDurably((dir / "item").string()));
    EXPECT_FALSE(fs::exists(dir / "item"));
    EXPECT_TRUE(files::removeFileDurably((dir / "item").string()));
    fs::create_directory(dir / "folder");
    EXPECT_FALSE(files::removeFileDurably((dir / "folder").string()));
}
