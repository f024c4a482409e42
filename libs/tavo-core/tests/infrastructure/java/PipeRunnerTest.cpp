// Runner cases that read on the calling thread only (no standard error
// handler, so the runner starts no thread of its own).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/Logger.h"
#include "infrastructure/java/PipeRunner.h"
#include "support/CallWithin.h"
#include "support/TempDir.h"
#include "support/TestArchives.h"

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

namespace {

struct Capped {
    int code = 0;
    pid_t pid = 0;  // the script's first line
    Lines out;      // the lines after it
    std::string failure;
};

// Runs the script under small limits; `onPid` runs in the output handler
// once the pid is known.
Capped runSmall(const std::string& script, const std::function<void(PipeRunner&)>& onPid = {}) {
    PipeRunner::Limits limits;
    limits.maxLineBytes = 64 * 1024;
    limits.writeStall = std::chrono::milliseconds(200);
    limits.drainAfterExit = std::chrono::milliseconds(100);
    PipeRunner runner;
    runner.setLimits(limits);
    Capped o;
    EXPECT_TRUE(runner.start(shell(script)));
    o.code = tavo::test::callWithin(
        [&] {
            return runner.run(
                [&](const std::string& l) {
                    if (o.pid != 0) return o.out.push_back(l);
                    o.pid = std::stoi(l);
                    if (onPid) onPid(runner);
                },
                [](const std::string&) {});
        },
        std::chrono::seconds(5), [&] { runner.kill(); });
    o.failure = runner.failure();
    return o;
}

}  // namespace

TEST(PipeRunner, LineOverTheCapStopsTheChild) {
    struct Case {
        const char* name;
        std::string script;
        int code;
        Lines out;
        const char* failure;
    };
    const std::string over = "echo $$; head -c 65537 /dev/zero | tr '\\0' y; echo; exec sleep 600";
    for (const Case& c : {
             Case{"endless output without a line feed", "echo $$; exec cat /dev/zero", -1, {}, "standard output is"},
             Case{"one line just over the cap, then more", over, -1, {}, "longer than 65536 bytes"},
             // The error stream is read on its own thread: its flood waits
             // until the pid line has been read, or it could win the race.
             Case{"endless stderr", "echo $$; read go; exec cat /dev/zero >&2", -1, {}, "standard error is longer"},
             Case{"a line at the cap passes",
                  "echo $$; head -c 65536 /dev/zero | tr '\\0' y; echo",
                  0,
                  {std::string(64 * 1024, 'y')},
                  ""},
         }) {
        SCOPED_TRACE(c.name);
        const Capped o = runSmall(c.script, [](PipeRunner& runner) { runner.writeLine("go"); });
        EXPECT_EQ(o.code, c.code);
        EXPECT_EQ(o.out, c.out);
        EXPECT_NE(o.failure.find(c.failure), std::string::npos) << o.failure;
        EXPECT_EQ(o.failure.empty(), c.code != -1) << o.failure;
        EXPECT_TRUE(processGone(o.pid));
    }
}

TEST(PipeRunner, DefaultLineCapKeepsMemoryBounded) {
    // 1 GiB without a line feed once grew one line to that size.
    PipeRunner runner;
    ASSERT_TRUE(runner.start(shell("head -c 1073741824 /dev/zero")));
    Lines out;
    EXPECT_EQ(runner.run([&](const std::string& l) { out.push_back(l); }, nullptr), -1);
    EXPECT_TRUE(out.empty());
    EXPECT_NE(runner.failure().find("longer than 16777216 bytes"), std::string::npos) << runner.failure();
    EXPECT_LT(tavo::test::peakRssBytes(), 512ull * 1024 * 1024);
}

TEST(PipeRunner, ChildThatStopsReadingIsStopped) {
    for (bool reads : {false, true}) {
        SCOPED_TRACE(reads ? "reads everything" : "never reads its input");
        std::vector<bool> writes;
        const Capped o = runSmall(reads ? "echo $$; head -c 1000001 >/dev/null" : "echo $$; exec sleep 600",
                                  [&](PipeRunner& runner) {
                                      // Far more than the pipe holds.
                                      writes.push_back(runner.writeLine(std::string(1000000, 'r')));
                                      // Once the run is ending, a further write gives up at once.
                                      if (!reads) writes.push_back(runner.writeLine(std::string(1000000, 'r')));
                                  });
        EXPECT_EQ(o.code, reads ? 0 : -1);
        EXPECT_EQ(writes, std::vector<bool>(reads ? 1 : 2, reads));
        EXPECT_EQ(o.failure.find("read nothing of its input") != std::string::npos, !reads) << o.failure;
        EXPECT_TRUE(processGone(o.pid));
    }
}
