#include <gtest/gtest.h>

#include <regex>

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
        EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[)" +
                                                      std::regex_replace(std::string(c.name), std::regex(R"(\?)"),
                                                                         R"(\?)") +
                                                      R"(\] Foo: bar)")))
            << line;
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
