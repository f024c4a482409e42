#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavo::stampit {

// Runs one child process with its standard streams on pipes: every line it
// writes goes to a callback, lines can be written to it, and its exit code is
// returned.
class PipeRunner {
public:
    struct LaunchParams {
        std::string program;  // looked up on PATH when it has no slash
        std::vector<std::string> args;
        std::string workingDir;  // empty: the agent's own
    };

    using LineCallback = std::function<void(const std::string&)>;

    // What the runner puts up with before it ends the child itself, and how
    // a child that is only questioned is set up.
    struct Limits {
        // A longer line ends the run: the child is stopped and run returns -1.
        std::size_t maxLineBytes = std::size_t{16} * 1024 * 1024;
        // A line waiting this long for a child that reads nothing ends the
        // run the same way.
        std::chrono::milliseconds writeStall{30000};
        // Once the child has exited, its streams are read this much longer:
        // a process it left behind may keep them open for ever.
        std::chrono::milliseconds drainAfterExit{2000};
        // The whole run, counted from start, ends by then (zero: no
        // deadline); past it the child is stopped and run returns -1.
        std::chrono::milliseconds deadline{0};
        // The child reads /dev/null instead of a pipe; writeLine is refused.
        bool inputFromNull = false;
        // The child leads a process group of its own: signals go to the whole
        // group, and whatever is left in it when the child ends is killed.
        bool ownProcessGroup = false;
    };

    PipeRunner();
    ~PipeRunner();
    PipeRunner(const PipeRunner&) = delete;
    PipeRunner& operator=(const PipeRunner&) = delete;

    // Takes effect for the next start.
    void setLimits(const Limits& limits);

    bool start(const LaunchParams& params);

    // Blocks until the child's standard output and standard error have ended
    // (or the child exited and the drain time passed) and the child has
    // exited. onStdoutLine runs on the calling thread, onStderrLine on a
    // thread of the runner; either may be empty. Returns the exit status,
    // 128 + signal number for a child ended by a signal, or -1 (failure()
    // then says why when the runner ended the child itself).
    // An exception from onStdoutLine stops the child and is passed on once
    // the error reader has ended; one from onStderrLine is logged and that
    // callback is not called again.
    int run(const LineCallback& onStdoutLine, const LineCallback& onStderrLine);

    // Writes the line and a line feed to the child's standard input; false
    // when that is closed or the child no longer reads it.
    bool writeLine(const std::string& line);

    // Stops the child (SIGTERM, a bounded wait, then SIGKILL) and closes the
    // descriptors. Safe from another thread while run or writeLine is under
    // way: both then return promptly and run closes what it reads.
    void kill();

    // Why the runner ended the last run itself (a line over the cap, a child
    // that stopped reading); empty when it did not.
    std::string failure() const;

    // True when the last run ended because its deadline passed.
    bool deadlinePassed() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// What a program we only question printed.
struct ProgramAnswer {
    bool started = false;
    bool timedOut = false;  // the deadline passed: the child and what it started were stopped
    std::string text;       // its lines, each followed by a line feed; at most kMaxAnswerBytes
};

// Enough for any version text or property list a runtime prints.
inline constexpr std::size_t kMaxAnswerBytes = std::size_t{64} * 1024;

// Runs a program we only question (its input is /dev/null, it leads a process
// group of its own, it has until the deadline to end) and gathers its
// standard error lines (and its standard output lines too when withStdout),
// each followed by a line feed, into one text. Once kMaxAnswerBytes are kept
// the child is stopped: nothing after them could change the answer.
ProgramAnswer askProgram(const PipeRunner::LaunchParams& params, bool withStdout, std::chrono::milliseconds deadline);

// The program and its arguments as one log line, escaped: they come from the
// environment and the caller.
std::string commandLineForLog(const std::string& program, const std::vector<std::string>& args);

}  // namespace tavo::stampit
