// Runner cases with a standard error handler: the runner reads that stream on
// a thread of its own while the calling thread reads standard output.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Logger.h"
#include "infrastructure/java/PipeRunner.h"
#include "support/CallWithin.h"
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
    Lines err;
};

Outcome runScript(const std::string& script) {
    Outcome o;
    PipeRunner runner;
    o.started = runner.start(shell(script));
    if (o.started) {
        o.code = runner.run([&](const std::string& l) { o.out.push_back(l); },
                            [&](const std::string& l) { o.err.push_back(l); });
    }
    return o;
}

}  // namespace

TEST(PipeRunnerConcurrency, DeliversBothStreamsAndTheExitCode) {
    struct Case {
        const char* script;
        int code;
        Lines out;
        Lines err;
    };
    for (const Case& c : {
             Case{"printf 'o1\\no2'; printf 'e1\\r\\ne2\\r' >&2", 0, {"o1", "o2"}, {"e1", "e2\r"}},
             Case{"echo out; echo err >&2; exit 42", 42, {"out"}, {"err"}},
             Case{"echo bye >&2; kill -KILL $$", 137, {}, {"bye"}},
             Case{"printf 'a\\r\\nb\\n\\nc' >&2", 0, {}, {"a", "b", "", "c"}},
         }) {
        SCOPED_TRACE(c.script);
        Outcome o = runScript(c.script);
        ASSERT_TRUE(o.started);
        EXPECT_EQ(o.code, c.code);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
    }
}

TEST(PipeRunnerConcurrency, ReadsStandardErrorToItsEndAfterStandardOutputCloses) {
    Outcome o = runScript("echo one >&2; exec >&-; sleep 0.1; echo two >&2");
    ASSERT_TRUE(o.started);
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.err, (Lines{"one", "two"}));
}

TEST(PipeRunnerConcurrency, FloodOfErrorsAfterOutputClosedDoesNotStall) {
    // 2 MB of error lines written after standard output is gone: far beyond a pipe's buffer.
    Outcome o = runScript(
        "exec >&-; i=0; line=$(head -c 99 /dev/zero | tr '\\0' e); "
        "while [ $i -lt 20000 ]; do echo \"$line\"; i=$((i+1)); done >&2; exit 5");
    ASSERT_TRUE(o.started);
    EXPECT_EQ(o.code, 5);
    ASSERT_EQ(o.err.size(), 20000u);
    EXPECT_EQ(o.err.back(), std::string(99, 'e'));
}

TEST(PipeRunnerConcurrency, ThrowingErrorHandlerIsLoggedAndTheRunCompletes) {
    tavo::test::TempDir dir;
    tavo::Logger::init((dir / "test.log").string());
    PipeRunner runner;
    ASSERT_TRUE(runner.start(shell("echo e1 >&2; echo e2 >&2; sleep 0.1; echo o1; echo e3 >&2; exit 4")));
    Lines out;
    int errCalls = 0;
    int code = runner.run([&](const std::string& l) { out.push_back(l); },
                          [&](const std::string&) {
                              ++errCalls;
                              throw std::runtime_error("handler failed");
                          });
    EXPECT_EQ(code, 4);
    EXPECT_EQ(out, (Lines{"o1"}));
    EXPECT_EQ(errCalls, 1);
    EXPECT_NE(tavo::test::readFile(dir / "test.log").find("standard error handler threw: handler failed"),
              std::string::npos);
}

TEST(PipeRunnerConcurrency, ThrowingOutputHandlerStopsTheChildAndPassesOn) {
    PipeRunner runner;
    // The child keeps both streams open for as long as it lives.
    ASSERT_TRUE(runner.start(shell("echo $$; echo started >&2; exec sleep 600")));
    pid_t pid = 0;
    EXPECT_THROW(runner.run(
                     [&](const std::string& l) {
                         pid = std::stoi(l);
                         throw std::runtime_error("caller gave up");
                     },
                     [](const std::string&) {}),
                 std::runtime_error);
    ASSERT_GT(pid, 0);
    // Ended and reaped before run passed the exception on.
    EXPECT_NE(::kill(pid, 0), 0);
}

TEST(PipeRunnerConcurrency, LinesWrittenFromBothHandlersNeverInterleave) {
    // Both handlers answer at once with 100 long lines each; the child counts
    // the distinct lines it read.
    PipeRunner runner;
    ASSERT_TRUE(runner.start(shell("echo go; echo go >&2; head -n 200 | sort | uniq -c | tr -s ' '")));
    const std::string a(3000, 'a');
    const std::string b(3000, 'b');
    std::mutex m;
    Lines out;
    int failedWrites = 0;
    auto answer = [&](const std::string& line, const std::string& text) {
        if (line != "go") return false;
        int failed = 0;
        for (int i = 0; i < 100; ++i) failed += runner.writeLine(text) ? 0 : 1;
        std::lock_guard<std::mutex> lock(m);
        failedWrites += failed;
        return true;
    };
    int code = runner.run(
        [&](const std::string& l) {
            if (!answer(l, a)) out.push_back(l);
        },
        [&](const std::string& l) { answer(l, b); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(failedWrites, 0);
    EXPECT_EQ(out, (Lines{" 100 " + a, " 100 " + b}));
}

TEST(PipeRunnerConcurrency, StdoutHandlerAnswersTheChild) {
    PipeRunner runner;
    ASSERT_TRUE(
        runner.start(shell("echo 'SIGN:1'; read r; echo \"got $r\" >&2; echo 'SIGN:2'; read r; echo \"done $r\"")));
    Lines out;
    Lines err;
    int code = runner.run(
        [&](const std::string& l) {
            out.push_back(l);
            if (l.rfind("SIGN:", 0) == 0) runner.writeLine("reply" + l.substr(5));
        },
        [&](const std::string& l) { err.push_back(l); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, (Lines{"SIGN:1", "SIGN:2", "done reply2"}));
    EXPECT_EQ(err, (Lines{"got reply1"}));
}

namespace {

bool processGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

// kill from another thread while run reads, while the stdout handler is
// stuck writing to a child that reads nothing, while the child has closed
// its output but still runs, and while a process the child left behind keeps
// the streams open: run returns each time, the child is reaped once, and no
// descriptor is closed under a reader, whose number would then read what was
// opened next (here: copies of a pipe holding the line "intruder").
TEST(PipeRunnerConcurrency, KillFromAnotherThreadEndsTheRun) {
    struct Case {
        const char* name;
        std::string script;
        bool writeFromHandler;
        bool intruders;  // the handler returns only once kill is over and the freed numbers are taken
    };
    for (const Case& c : {
             Case{"reading both streams", "echo $$; echo e >&2; exec sleep 600", false, false},
             Case{"handler blocked in a write", "echo $$; exec sleep 600", true, false},
             Case{"output closed, child still running", "echo $$; exec >&- 2>&-; exec sleep 600", false, false},
             Case{"streams held by a process left behind", "sleep 600 & echo \"$$ $!\"; exec sleep 600", false, true},
         }) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(std::string(c.name) + " round " + std::to_string(round));
            PipeRunner runner;
            ASSERT_TRUE(runner.start(shell(c.script)));
            std::promise<void> started, killed;
            std::vector<int> intruders;
            std::vector<bool> writes;
            std::thread killer([&] {
                started.get_future().wait();
                runner.kill();
                int ends[2];
                if (c.intruders && ::pipe(ends) == 0) {
                    EXPECT_EQ(::write(ends[1], "intruder\n", 9), 9);
                    ::close(ends[1]);
                    intruders.push_back(ends[0]);
                    for (int i = 0; i < 64; ++i) intruders.push_back(::dup(ends[0]));
                }
                killed.set_value();
            });
            pid_t pid = 0, leftBehind = 0;
            std::atomic<int> intruderLines{0};
            int code = runner.run(
                [&](const std::string& l) {
                    intruderLines += l == "intruder";
                    if (pid != 0) return;
                    std::istringstream(l) >> pid >> leftBehind;
                    started.set_value();
                    if (c.writeFromHandler) writes.push_back(runner.writeLine(std::string(1000000, 'w')));
                    if (c.intruders &&
                        killed.get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready)
                        ADD_FAILURE() << "kill did not return";
                },
                [&](const std::string& l) { intruderLines += l == "intruder"; });
            killer.join();
            if (leftBehind > 0) ::kill(leftBehind, SIGKILL);
            for (int fd : intruders) ::close(fd);
            EXPECT_EQ(code, 128 + SIGTERM);
            EXPECT_TRUE(runner.failure().empty()) << runner.failure();
            EXPECT_EQ(writes, std::vector<bool>(c.writeFromHandler ? 1 : 0, false));
            EXPECT_TRUE(processGone(pid));
            EXPECT_FALSE(runner.writeLine("after"));
            EXPECT_EQ(intruderLines, 0);
        }
    }
}

TEST(PipeRunnerConcurrency, ExitedChildIsDoneWhateverItLeftBehind) {
    PipeRunner::Limits limits;
    limits.drainAfterExit = std::chrono::milliseconds(100);
    PipeRunner runner;
    runner.setLimits(limits);
    // The process left behind holds both output streams.
    ASSERT_TRUE(runner.start(shell("sleep 600 & echo $! >&2; echo done; exit 0")));
    Lines out, err;
    const int code = tavo::test::callWithin(
        [&] {
            return runner.run([&](const std::string& l) { out.push_back(l); },
                              [&](const std::string& l) { err.push_back(l); });
        },
        std::chrono::seconds(5), [&] { runner.kill(); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, (Lines{"done"}));
    ASSERT_EQ(err.size(), 1u);
    ASSERT_EQ(::kill(std::stoi(err[0]), SIGKILL), 0);
}
