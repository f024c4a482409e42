// Runner cases that read on the calling thread only (no standard error
// handler, so the runner starts no thread of its own).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/Logger.h"
#include "infrastructure/java/PipeRunner.h"
#include "support/TempDir.h"

using tavo::stampit::PipeRunner;

namespace {

using Lines = std::vector<std::string>;

PipeRunner::LaunchParams shell(const std::string& script) {
    return {"/bin/sh", {"-c", script}, {}};
}

struct Outcome {
    bool started = false;
    int code = -1;
    Lines out;
};

Outcome runScript(const std::string& script) {
    Outcome o;
    PipeRunner runner;
    o.started = runner.start(shell(script));
    if (o.started) o.code = runner.run([&](const std::string& l) { o.out.push_back(l); }, nullptr);
    return o;
}

bool processGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

TEST(PipeRunner, SplitsTheChildsLines) {
    struct Case {
        const char* script;
        Lines expected;
    };
    for (const Case& c : {
             Case{"printf 'a\\r\\nb\\n\\nc'", {"a", "b", "", "c"}},
             Case{"printf 'x\\r'", {"x\r"}},
             Case{"head -c 10000 /dev/zero | tr '\\0' y; echo; echo tail", {std::string(10000, 'y'), "tail"}},
             Case{"true", {}},
         }) {
        SCOPED_TRACE(c.script);
        Outcome o = runScript(c.script);
        ASSERT_TRUE(o.started);
        EXPECT_EQ(o.code, 0);
        EXPECT_EQ(o.out, c.expected);
    }
}

TEST(PipeRunner, ReportsExitCodesAndSignals) {
    struct Case {
        const char* script;
        int code;
    };
    for (const Case& c :
         {Case{"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -KILL $$", 137}, {"kill -TERM $$", 143}}) {
        SCOPED_TRACE(c.script);
        Outcome o = runScript(c.script);
        ASSERT_TRUE(o.started);
        EXPECT_EQ(o.code, c.code);
    }
}

TEST(PipeRunner, MissingProgramFailsWithTheSpawnErrorLogged) {
    tavo::test::TempDir dir;
    tavo::Logger::init((dir / "test.log").string());
    for (const char* program : {"tavo-no-such-program", "/nonexistent/tavo-no-such-program"}) {
        SCOPED_TRACE(program);
        PipeRunner runner;
        EXPECT_FALSE(runner.start({program, {"-version"}, {}}));
        EXPECT_FALSE(runner.writeLine("anything"));
    }
    std::string log = tavo::test::readFile(dir / "test.log");
    EXPECT_NE(log.find("[ERROR] posix_spawnp failed: No such file or directory\n"), std::string::npos) << log;
}

TEST(PipeRunner, MissingWorkingFolderFailsToStart) {
    tavo::test::TempDir dir;
    tavo::Logger::init((dir / "test.log").string());
    PipeRunner runner;
    EXPECT_FALSE(runner.start({"/bin/pwd", {}, (dir / "absent").string()}));
    EXPECT_NE(tavo::test::readFile(dir / "test.log").find("posix_spawnp failed: "), std::string::npos);
}

TEST(PipeRunner, StartsInTheWorkingFolder) {
    tavo::test::TempDir dir;
    PipeRunner runner;
    ASSERT_TRUE(runner.start({"pwd", {"-P"}, dir.str()}));
    Lines out;
    EXPECT_EQ(runner.run([&](const std::string& l) { out.push_back(l); }, nullptr), 0);
    EXPECT_EQ(out, (Lines{std::filesystem::canonical(dir.path()).string()}));
}

TEST(PipeRunner, WriteLineBeforeStartIsRefused) {
    PipeRunner runner;
    EXPECT_FALSE(runner.writeLine("hello"));
}

TEST(PipeRunner, LinesWrittenReachTheChild) {
    PipeRunner runner;
    ASSERT_TRUE(runner.start(shell("read a; read b; echo \"$b|$a\"")));
    EXPECT_TRUE(runner.writeLine("first"));
    EXPECT_TRUE(runner.writeLine("second"));
    Lines out;
    EXPECT_EQ(runner.run([&](const std::string& l) { out.push_back(l); }, nullptr), 0);
    EXPECT_EQ(out, (Lines{"second|first"}));
}

TEST(PipeRunner, WritingToAChildThatStoppedReadingFailsQuietly) {
    // The child closes its input before it speaks, so the write cannot reach it.
    PipeRunner runner;
    ASSERT_TRUE(runner.start(shell("exec 0<&-; echo closed")));
    std::vector<bool> writes;
    int code = runner.run(
        [&](const std::string&) {
            writes.push_back(runner.writeLine("too late"));
            writes.push_back(runner.writeLine(std::string(100000, 'z')));
        },
        nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(writes, (std::vector<bool>{false, false}));
    // Nor after the child has exited, and no SIGPIPE is left waiting for us.
    EXPECT_FALSE(runner.writeLine("after exit"));
    sigset_t pending;
    sigemptyset(&pending);
    ASSERT_EQ(::sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(PipeRunner, DrainsBothStreamsWithoutHandlers) {
    // 1 MB on each stream with no handler: neither pipe may fill and stall the child.
    PipeRunner runner;
    ASSERT_TRUE(runner.start(shell("head -c 1000000 /dev/zero; head -c 1000000 /dev/zero >&2; exit 7")));
    EXPECT_EQ(runner.run(nullptr, nullptr), 7);
    Outcome o = runScript("head -c 1000000 /dev/zero >&2; echo done");
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.out, (Lines{"done"}));
}

TEST(PipeRunner, ChildSeesOnlyItsOwnDescriptors) {
    // A descriptor of ours without close-on-exec, and another runner's pipes.
    int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    PipeRunner other;
    ASSERT_TRUE(other.start(shell("read x; echo \"other got $x\"")));

    Outcome o = runScript("ls /proc/$$/fd");
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.out, (Lines{"0", "1", "2"}));

    // The first child kept none of the second's pipes either: the second ended
    // while the first still waits for its line.
    EXPECT_TRUE(other.writeLine("ping"));
    Lines out;
    EXPECT_EQ(other.run([&](const std::string& l) { out.push_back(l); }, nullptr), 0);
    EXPECT_EQ(out, (Lines{"other got ping"}));
    ::close(leaky);
}

TEST(PipeRunner, KillEndsAChildThatIgnoresSigterm) {
    tavo::test::TempDir dir;
    std::filesystem::path ready = dir / "ready";
    PipeRunner runner;
    ASSERT_TRUE(runner.start(shell("trap '' TERM; echo $$ > '" + ready.string() + ".tmp'; mv '" + ready.string() +
                                   ".tmp' '" + ready.string() + "'; exec sleep 600")));
    while (!std::filesystem::exists(ready)) ::usleep(1000);
    pid_t pid = std::stoi(tavo::test::readFile(ready));
    runner.kill();
    EXPECT_TRUE(processGone(pid));
    EXPECT_FALSE(runner.writeLine("closed"));
}

TEST(PipeRunner, DestructionEndsTheChild) {
    tavo::test::TempDir dir;
    std::filesystem::path ready = dir / "ready";
    pid_t pid = 0;
    {
        PipeRunner runner;
        ASSERT_TRUE(runner.start(shell("echo $$ > '" + ready.string() + ".tmp'; mv '" + ready.string() + ".tmp' '" +
                                       ready.string() + "'; exec sleep 600")));
        while (!std::filesystem::exists(ready)) ::usleep(1000);
        pid = std::stoi(tavo::test::readFile(ready));
    }
    EXPECT_TRUE(processGone(pid));
}
