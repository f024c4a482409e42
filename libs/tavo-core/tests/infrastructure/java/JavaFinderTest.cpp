// Discovery cases that never run a program: refusals before any child starts,
// the version scanner, and the native file names.

// g++ 12 reports false maybe-uninitialized warnings inside <regex> when built
// with the sanitizers; the pattern is used here only as the reference.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>
#include <string>

#include "common/Logger.h"
#include "infrastructure/java/BitnessDetector.h"
#include "infrastructure/java/JavaFinder.h"
#include "platform/JavaHome.h"
#include "platform/JavaHomeTesting.h"
#include "support/FakeJava.h"
#include "support/TempDir.h"

using tavo::stampit::Arch;
using tavo::stampit::BitnessDetector;
using tavo::stampit::JavaFinder;
using tavo::stampit::javaVersionIn;

TEST(JavaVersionScan, AgreesWithThePatternOnRandomOutputs) {
    const std::regex pattern(R"(version\s+\"([^\"]+)\")", std::regex::ECMAScript);
    const char* tokens[] = {"version", "versio", "n",      " ",         "  ",       "\t", "\n",   "\r\n", "\"",
                            "\"",      "\"",     "17.0.2", "1.8.0_202", "openjdk ", "x",  "-Bit", "\v",   "\f"};
    std::mt19937 rng(12345);
    std::uniform_int_distribution<size_t> pick(0, std::size(tokens) - 1);
    std::uniform_int_distribution<int> count(0, 14);
    int matching = 0;
    const int total = 20000;
    for (int i = 0; i < total; ++i) {
        std::string text;
        // Two thirds start plausibly, to keep matches common.
        if (i % 3 != 0) text = "openjdk version \"1";
        for (int n = count(rng); n > 0; --n) text += tokens[pick(rng)];
        std::smatch m;
        std::string expected = std::regex_search(text, m, pattern) ? m[1].str() : std::string();
        if (!expected.empty()) ++matching;
        ASSERT_EQ(javaVersionIn(text), expected) << "input: [" << text << "]";
    }
    EXPECT_GE(matching * 3, total) << matching;
}

TEST(JavaVersionScan, KnownOutputs) {
    struct Case {
        const char* text;
        const char* version;
    };
    for (const Case& c : {
             Case{"openjdk version \"17.0.2\" 2022-01-18\nOpenJDK 64-Bit Server VM\n", "17.0.2"},
             Case{"java version \"1.8.0_202\"\n", "1.8.0_202"},
             Case{"version\"17\"", ""},
             Case{"version \"\" then version \"21\"", "21"},
             Case{"version \"unterminated", ""},
             Case{"openjdk 17.0.2 2022-01-18\n", ""},
         }) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(javaVersionIn(c.text), c.version);
    }
}

TEST(JavaVersionScan, HugeOutputIsScannedWithoutRecursion) {
    std::string text(4 << 20, ' ');
    text.insert(0, "version");
    text += "\"" + std::string(4 << 20, 'v') + "\"";
    EXPECT_EQ(javaVersionIn(text).size(), size_t(4) << 20);
}

TEST(JavaFinder, ProbeRefusesWhatIsNotAnOwnerExecutableFile) {
    tavo::test::TempDir dir;
    tavo::Logger::init((dir / "test.log").string());
    tavo::test::writeFakeJava(dir / "plain" / "java", {"openjdk version \"17\"\n", "", "", false});
    std::filesystem::create_directories(dir / "folder" / "java");
    for (const std::string& path : {(dir / "plain" / "java").string(), (dir / "folder" / "java").string(),
                                    (dir / "absent" / "java").string(), std::string()}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(JavaFinder::probe(path));
    }
    EXPECT_EQ(tavo::test::fakeJavaCalls(dir / "plain" / "java"), "");
    EXPECT_EQ(tavo::test::readFile(dir / "test.log"), "");
}

TEST(JavaFinder, FindersWithoutTheirVariableGiveNone) {
    tavo::test::ScopedEnv noHome("HOME", nullptr);
    tavo::test::ScopedEnv noJavaHome("JAVA_HOME", nullptr);
    tavo::test::ScopedEnv noPath("PATH", nullptr);
    EXPECT_FALSE(JavaFinder::findOpenWebStart());
    EXPECT_FALSE(JavaFinder::findJavaHome());
    EXPECT_FALSE(JavaFinder::findOnPath());
    EXPECT_FALSE(JavaFinder::findMicrosoftOpenJdk());
    tavo::test::ScopedEnv emptyJavaHome("JAVA_HOME", "");
    EXPECT_FALSE(JavaFinder::findJavaHome());
}

TEST(JavaFinder, SystemJavaNeedsAFolderWithBinJava) {
    static tavo::test::TempDir dir;
    static std::string answer;
    tavo::platform::setJavaHomeSourceForTesting([] { return answer; });
    for (const std::string& a : {std::string(), std::string(" \t\r\n"), dir.str() + "\n"}) {
        SCOPED_TRACE(a);
        answer = a;
        EXPECT_FALSE(JavaFinder::findSystemJavaMac());
    }
}

TEST(BitnessDetector, NativeFilesByArchitecture) {
    struct Case {
        Arch arch;
        const char* jar;
    };
    for (const Case& c : {Case{Arch::Aarch64, "native/vatclient-darwin-aarch64.jar"},
                          {Arch::X86_64, "native/vatclient-darwin-x86_64.jar"},
                          {Arch::X86, ""},
                          {Arch::Unknown, ""},
                          {static_cast<Arch>(7), ""}}) {
        SCOPED_TRACE(static_cast<int>(c.arch));
        EXPECT_EQ(BitnessDetector::nativeJarFor(c.arch), c.jar);
    }
    EXPECT_EQ(BitnessDetector::nativeLibFileName(), "libvatclient.dylib");
    EXPECT_EQ(BitnessDetector::detect(""), Arch::Unknown);
}
