// Discovery cases that run programs (fakes and the installed JDK): each probe
// starts the runner's error-reading thread.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "common/Logger.h"
#include "infrastructure/java/JavaFinder.h"
#include "platform/JavaHome.h"
#include "platform/JavaHomeTesting.h"
#include "support/CallWithin.h"
#include "support/FakeJava.h"
#include "support/TempDir.h"
#include "support/TestArchives.h"

namespace fs = std::filesystem;
using tavo::stampit::JavaFinder;
using tavo::stampit::JavaInstall;
using tavo::test::FakeJavaSpec;
using tavo::test::ScopedEnv;
using tavo::test::writeFakeJava;

namespace {

FakeJavaSpec versionOnly(const std::string& version) {
    return {"openjdk version \"" + version + "\" 2024-01-01\nOpenJDK 64-Bit Server VM\n", "", "", true};
}

std::string& systemAnswer() {
    static std::string answer;
    return answer;
}

// The homebrew places are part of every search; these cases rely on their absence.
void expectNoHomebrew() {
    for (const char* prefix : JavaFinder::kPrefixes) ASSERT_FALSE(fs::exists(prefix)) << prefix;
}

// The process whose id the file holds has ended (a zombie not yet reaped
// counts as ended), within two seconds.
bool processGone(const fs::path& pidFile) {
    const std::string pid = tavo::test::readFile(pidFile);
    for (int i = 0; !pid.empty() && i < 200; ++i, ::usleep(10000)) {
        const std::string stat = tavo::test::readFile("/proc/" + std::to_string(std::stoi(pid)) + "/stat");
        if (stat.empty() || stat.compare(stat.rfind(')'), 3, ") Z") == 0) return true;
    }
    return false;
}

}  // namespace

TEST(JavaFinderConcurrency, ProbeReadsVersionAndBitness) {
    tavo::test::TempDir dir;
    tavo::Logger::init((dir / "test.log").string());
    struct Case {
        const char* name;
        std::string stderrText;
        std::string version;  // empty: no install
        bool is64Bit;
    };
    for (const Case& c : {
             Case{"openjdk", "openjdk version \"17.0.2\" 2022-01-18\nOpenJDK 64-Bit Server VM (build)\n", "17.0.2",
                  true},
             Case{"32-bit", "java version \"1.8.0_202\"\nJava HotSpot(TM) Client VM 32-Bit\n", "1.8.0_202", false},
             Case{"crlf", "java version \"11.0.1\"\r\n64-Bit\r\n", "11.0.1", true},
             // A quoted text across lines must not forge a line of the log.
             Case{"version across lines", "openjdk version \"17\n[ERROR] forged\"\n64-Bit\n", "17\\x0A[ERROR] forged",
                  true},
             Case{"no version", "OpenJDK 64-Bit Server VM\n", "", false},
             Case{"nothing", "", "", false},
         }) {
        SCOPED_TRACE(c.name);
        fs::path java = dir / c.name / "java";
        writeFakeJava(java, {c.stderrText, "", "", true});
        auto install = JavaFinder::probe(java.string());
        EXPECT_EQ(tavo::test::fakeJavaCalls(java), "-version\n");
        std::string log = tavo::test::readFile(dir / "test.log");
        std::string warn = "[WARN ] Could not parse java -version for: " + java.string() + "\n";
        if (c.version.empty()) {
            EXPECT_FALSE(install);
            EXPECT_NE(log.find(warn), std::string::npos) << log;
            continue;
        }
        ASSERT_TRUE(install);
        EXPECT_EQ(install->path, java.string());
        EXPECT_EQ(install->version, c.version);
        EXPECT_EQ(install->is64Bit, c.is64Bit);
        EXPECT_EQ(log.find(warn), std::string::npos);
    }
}

TEST(JavaFinderConcurrency, ProbeOfTheInstalledJdk) {
    std::string java = tavo::test::installedJdk17Java();
    ASSERT_FALSE(java.empty()) << "OpenJDK 17 is not installed";
    auto install = JavaFinder::probe(java);
    ASSERT_TRUE(install);
    EXPECT_EQ(install->path, java);
    EXPECT_EQ(install->version.rfind("17", 0), 0u) << install->version;
    EXPECT_TRUE(install->is64Bit);
}

TEST(JavaFinderConcurrency, FindTriesThePlacesInOrder) {
    expectNoHomebrew();
    tavo::test::TempDir dir;
    fs::path home = dir / "home";
    fs::path openWebStart =
        home / "Library" / "Application Support" / "OpenWebStart" / "jvm" / "default" / "Contents" / "Home";
    writeFakeJava(openWebStart / "bin" / "java", versionOnly("ows"));
    writeFakeJava(dir / "javahome" / "bin" / "java", versionOnly("javahome"));
    writeFakeJava(dir / "system" / "bin" / "java", versionOnly("system"));
    writeFakeJava(dir / "onpath" / "java", versionOnly("path"));
    std::string path = (dir / "onpath").string();
    ScopedEnv homeEnv("HOME", home.c_str());
    ScopedEnv javaHomeEnv("JAVA_HOME", (dir / "javahome").c_str());
    ScopedEnv pathEnv("PATH", path.c_str());
    systemAnswer() = (dir / "system").string() + "\n";
    tavo::platform::setJavaHomeSourceForTesting([] { return systemAnswer(); });

    auto versionFound = [] {
        auto install = JavaFinder::find();
        return install ? install->version : std::string("none");
    };
    EXPECT_EQ(versionFound(), "ows");
    fs::remove_all(home / "Library");
    EXPECT_EQ(versionFound(), "javahome");
    // A JAVA_HOME without bin/java: on to the system command, then PATH.
    ::setenv("JAVA_HOME", (dir / "absent").c_str(), 1);
    EXPECT_EQ(versionFound(), "system");
    systemAnswer() = "";
    EXPECT_EQ(versionFound(), "path");
    fs::remove(dir / "onpath" / "java");
    EXPECT_EQ(versionFound(), "none");
}

TEST(JavaFinderConcurrency, FindAllKeepsEachPathOnce) {
    expectNoHomebrew();
    tavo::test::TempDir dir;
    writeFakeJava(dir / "jdk" / "bin" / "java", versionOnly("jdk"));
    writeFakeJava(dir / "onpath" / "java", versionOnly("path"));
    std::string path = (dir / "onpath").string() + ":" + (dir / "jdk" / "bin").string();
    ScopedEnv homeEnv("HOME", dir.path().c_str());
    ScopedEnv javaHomeEnv("JAVA_HOME", (dir / "jdk").c_str());
    ScopedEnv pathEnv("PATH", path.c_str());
    // The system command names the same runtime as JAVA_HOME, with a trailing blank.
    systemAnswer() = (dir / "jdk").string() + " \n";
    tavo::platform::setJavaHomeSourceForTesting([] { return systemAnswer(); });

    auto all = JavaFinder::findAll();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].path, (dir / "jdk" / "bin" / "java").string());
    EXPECT_EQ(all[1].path, (dir / "onpath" / "java").string());
    EXPECT_EQ(all[1].version, "path");
}

TEST(JavaFinderConcurrency, JavaHomeWithTrailingSlashGivesTheSameCandidate) {
    tavo::test::TempDir dir;
    writeFakeJava(dir / "jdk" / "bin" / "java", versionOnly("jdk"));
    std::string plain = (dir / "jdk").string();
    ScopedEnv javaHomeEnv("JAVA_HOME", plain.c_str());
    auto withoutSlash = JavaFinder::findJavaHome();
    ::setenv("JAVA_HOME", (plain + "/").c_str(), 1);
    auto withSlash = JavaFinder::findJavaHome();
    ASSERT_TRUE(withoutSlash && withSlash);
    EXPECT_EQ(withSlash->path, withoutSlash->path);
    EXPECT_EQ(withSlash->path, plain + "/bin/java");
}

TEST(JavaFinderConcurrency, EmptyPathEntriesAreNotTheCurrentFolder) {
    tavo::test::TempDir dir;
    // A java in the working folder that an empty entry would wrongly find first.
    writeFakeJava(dir / "java", versionOnly("cwd"));
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    ScopedEnv pathEnv("PATH", "::/usr/bin:");
    auto install = JavaFinder::findOnPath();
    ASSERT_TRUE(install);
    EXPECT_EQ(install->path, "/usr/bin/java");
    EXPECT_NE(install->version, "cwd");
    EXPECT_EQ(tavo::test::fakeJavaCalls(dir / "java"), "");
}

TEST(JavaFinderConcurrency, PathSkipsRefusedCandidates) {
    tavo::test::TempDir dir;
    writeFakeJava(dir / "a" / "java", {"openjdk version \"a\"\n", "", "", false});
    writeFakeJava(dir / "b" / "java", {"no version here\n", "", "", true});
    writeFakeJava(dir / "c" / "java", versionOnly("c"));
    std::string path = (dir / "a").string() + ":" + (dir / "b").string() + ":" + (dir / "c").string();
    ScopedEnv pathEnv("PATH", path.c_str());
    auto install = JavaFinder::findOnPath();
    ASSERT_TRUE(install);
    EXPECT_EQ(install->version, "c");
    EXPECT_EQ(tavo::test::fakeJavaCalls(dir / "a" / "java"), "");
    EXPECT_EQ(tavo::test::fakeJavaCalls(dir / "b" / "java"), "-version\n");
}

TEST(JavaFinderConcurrency, FindsTheInstalledJdkThroughTheSystemCommand) {
    expectNoHomebrew();
    tavo::test::TempDir dir;
    ScopedEnv homeEnv("HOME", dir.path().c_str());
    ScopedEnv javaHomeEnv("JAVA_HOME", nullptr);
    ScopedEnv pathEnv("PATH", "/usr/bin:/bin");
    auto viaSystem = JavaFinder::findSystemJavaMac();
    ASSERT_TRUE(viaSystem);
    EXPECT_EQ(viaSystem->version.rfind("17", 0), 0u) << viaSystem->version;
    EXPECT_TRUE(viaSystem->is64Bit);
    auto found = JavaFinder::find();
    ASSERT_TRUE(found);
    EXPECT_EQ(found->path, viaSystem->path);
}

// Runtimes that never finish answering are stopped at the deadline, with
// what they started, and the search goes on to the next candidate; one that
// reads its input gets end of file and answers, and one that floods after
// its version is stopped once the answer is full, memory not growing.
TEST(JavaFinderConcurrency, RuntimesThatMisbehaveAreStopped) {
    tavo::test::TempDir dir;
    const std::chrono::milliseconds deadline{1000};
    JavaFinder::setRunDeadline(deadline);
    struct Reset {
        ~Reset() { JavaFinder::setRunDeadline(JavaFinder::kDefaultRunDeadline); }
    } reset;
    const std::string pid = "echo $$ > \"$me.pid\"; ";
    const std::string flood =
        "/usr/bin/yes \"$(/usr/bin/head -c 999 /dev/zero | /usr/bin/tr '\\0' x)\" | "
        "/usr/bin/head -c 800000000 >&2";
    struct Case {
        const char* name;
        tavo::test::FakeJavaBehaviour behaviour;
        bool usable;
    };
    for (const Case& c : {
             Case{"prints its version, then sleeps", {pid, "/bin/sleep 600"}, false},
             Case{"closes its streams and stays alive", {pid, "exec >&- 2>&-; /bin/sleep 600"}, false},
             Case{"never exits, waits on a child", {"/bin/sleep 600 & echo $! > \"$me.pid\"; wait", ""}, false},
             Case{"reads its input first", {pid + "read line", ""}, true},
             Case{"floods after its version", {pid, flood}, true},
         }) {
        SCOPED_TRACE(c.name);
        const fs::path bad = dir / c.name / "java";
        writeFakeJava(bad, versionOnly("bad"), c.behaviour);
        writeFakeJava(dir / c.name / "next" / "java", versionOnly("next"));
        ScopedEnv pathEnv("PATH", (bad.parent_path().string() + ":" + (dir / c.name / "next").string()).c_str());
        const std::uint64_t peakBefore = tavo::test::peakRssBytes();
        const auto began = std::chrono::steady_clock::now();
        auto install = tavo::test::callWithin(
            [] { return JavaFinder::findOnPath(); }, 3 * deadline,
            [&] {
                if (const std::string id = tavo::test::readFile(bad.string() + ".pid"); !id.empty())
                    ::kill(std::stoi(id), SIGKILL);
            });
        EXPECT_LT(std::chrono::steady_clock::now() - began, 2 * deadline);
        EXPECT_LT(tavo::test::peakRssBytes() - peakBefore, std::uint64_t{64} << 20);
        ASSERT_TRUE(install);
        EXPECT_EQ(install->version, c.usable ? "bad" : "next");
        EXPECT_TRUE(processGone(bad.string() + ".pid"));
    }
}
