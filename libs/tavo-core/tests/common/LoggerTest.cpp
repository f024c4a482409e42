#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/Logger.h"
#include "common/Paths.h"
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
