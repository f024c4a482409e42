#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <utility>

#include "common/Files.h"
#include "common/Logger.h"
#include "common/Paths.h"
#include "support/FifoRelease.h"
#include "support/TempDir.h"

using tavo::Logger;
using tavo::LogLevel;

TEST(Logger, FormatsLevelNames) {
    struct Case {
        int level;
        const char* name;
    };
    for (const Case& c : {Case{0, "DEBUG"}, {1, "INFO "}, {2, "WARN "}, {3, "ERROR"}, {4, "?????"}, {99, "?????"}}) {
        SCOPED_TRACE(c.level);
        std::string line = Logger::formatLine(static_cast<LogLevel>(c.level), "Foo: bar");
        // "YYYY-MM-DD HH:MM:SS [LEVEL] message"
        ASSERT_EQ(line.size(), 19u + 2 + 5 + 2 + 8) << line;
        for (size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u, 11u, 12u, 14u, 15u, 17u, 18u})
            EXPECT_TRUE(line[i] >= '0' && line[i] <= '9') << line;
        EXPECT_EQ(line.substr(4, 1) + line.substr(7, 1) + line.substr(10, 1) + line.substr(13, 1) + line.substr(16, 1),
                  "-- ::");
        EXPECT_EQ(line.substr(19), std::string(" [") + c.name + "] Foo: bar");
    }
}

TEST(Logger, EmptyMessageEndsInBracketBlank) {
    std::string line = Logger::formatLine(LogLevel::Info, "");
    ASSERT_GE(line.size(), 2u);
    EXPECT_EQ(line.substr(line.size() - 2), "] ");
}

TEST(Logger, AppendsToFileAndNeverTruncates) {
    tavo::test::TempDir dir;
    auto file = dir / "TavoAgentC.log";
    tavo::test::writeFile(file, "earlier line\n");
    Logger::init(file.string());
    Logger::log(LogLevel::Warn, "Test: first");
    Logger::info("Test: second");
    std::string text = tavo::test::readFile(file);
    EXPECT_EQ(text.rfind("earlier line\n", 0), 0u);
    EXPECT_NE(text.find("[WARN ] Test: first\n"), std::string::npos);
    EXPECT_NE(text.find("[INFO ] Test: second\n"), std::string::npos);
}

TEST(Logger, UnopenableFileLeavesStderrOnly) {
    tavo::test::TempDir dir;
    Logger::init((dir / "missing" / "sub" / "x.log").string());
    testing::internal::CaptureStderr();
    Logger::error("Test: still written");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[ERROR] Test: still written\n"), std::string::npos);
}

// The log names taxpayers and their filings: user-only whatever the umask,
// and a log another version left readable by others is made user-only.
TEST(Logger, LogFileIsReadableByTheUserOnly) {
    tavo::test::TempDir dir;
    tavo::test::writeFile(dir / "old.log", "earlier line\n");
    ::chmod((dir / "old.log").c_str(), 0644);
    const mode_t oldMask = ::umask(0);
    for (const char* name : {"new.log", "old.log"}) {
        SCOPED_TRACE(name);
        Logger::init((dir / name).string());
        Logger::info("Test: mode");
        struct stat info {};
        ASSERT_EQ(::stat((dir / name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_NE(tavo::test::readFile(dir / name).find("Test: mode\n"), std::string::npos);
    }
    ::umask(oldMask);
    Logger::init("");
}

// Only a regular file of the user's own is a log: anything else in its place
// leaves the logger on standard error, and the thing planted untouched.
TEST(Logger, LogPlaceTakenByAnythingButOurFileMeansStderrOnly) {
    namespace fs = std::filesystem;
    tavo::test::TempDir dir;
    const auto userFile = dir / "notes.txt", log = dir / "TavoAgentC.log";
    const auto fifo = [&] { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); };
    tavo::core::common::files::UniqueFd reader;  // one that never reads
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"a link to another of the user's files", [&] { fs::create_symlink(userFile, log); }},
        {"a second name of another of the user's files", [&] { fs::create_hard_link(userFile, log); }},
        {"another account's file",
         [&] {
             tavo::test::writeFile(log, "theirs\n");
             ASSERT_EQ(::chown(log.c_str(), 65534, 65534), 0);
         }},
        {"a FIFO without a reader", fifo},
        {"a FIFO with a reader",
         [&] {
             fifo();
             reader.reset(::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
         }},
    };
    for (const auto& [name, plant] : cases) {
        SCOPED_TRACE(name);
        tavo::test::writeFile(userFile, "the user's own text\n");
        fs::permissions(userFile, fs::perms(0644));
        fs::remove(log);
        reader.reset();
        plant();
        tavo::test::callReleasingFifo(
            [&] {
                Logger::init(log.string());
                Logger::info("Test: a line");
            },
            log.string(), O_RDONLY);
        Logger::init("");
        EXPECT_EQ(tavo::test::readFile(userFile), "the user's own text\n");
        EXPECT_EQ(fs::status(userFile).permissions(), fs::perms(0644));
        char byte = 0;
        EXPECT_TRUE(!reader || ::read(reader.get(), &byte, 1) <= 0) << "a line went to the FIFO";
        if (fs::is_regular_file(fs::symlink_status(log)) && !fs::equivalent(log, userFile)) {
            EXPECT_EQ(tavo::test::readFile(log), "theirs\n");
        }
    }
}

// A full disk cuts a line short: the next line still starts a line of its own.
TEST(Logger, LineAfterAShortWriteStartsOnItsOwnLine) {
    tavo::test::TempDir dir;
    const auto log = dir / "TavoAgentC.log";
    tavo::test::writeFile(log, "earlier line\n");
    Logger::init(log.string());
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const rlimit small{13 + 30, before.rlim_max};  // room for the start of the next line only
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    Logger::info("Test: torn by the full disk");
    Logger::info("Test: not written either");
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previousHandler);
    Logger::info("Test: after the disk has room");
    Logger::init("");
    const std::string text = tavo::test::readFile(log);
    ASSERT_GT(text.size(), 44u + 19) << text;  // past the torn line and the next one's time stamp
    EXPECT_EQ(text[43], '\n') << text;
    EXPECT_EQ(text.substr(44 + 19), " [INFO ] Test: after the disk has room\n") << text;
}
