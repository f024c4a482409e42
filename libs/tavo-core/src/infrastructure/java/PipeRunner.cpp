#include "infrastructure/java/PipeRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/Files.h"
#include "common/Logger.h"
#include "infrastructure/java/LineAccumulator.h"

extern char** environ;

namespace tavo::stampit {
namespace {

using core::common::files::UniqueFd;

// One pipe buffer's worth per read: 4 KB reads cost a system call per 50
// lines and doubled the time of a large transfer.
constexpr size_t kReadChunk = 65536;
// How long a child gets to end after SIGTERM before it is killed outright.
constexpr std::chrono::milliseconds kTermGrace{2000};

std::string errorText(int err) {
    return std::system_category().message(err);
}

// Pipe ends must not sit on 0..2: the child's dup2 onto its standard
// descriptors would overwrite one pipe end with another, or keep
// close-on-exec set on a descriptor duplicated onto itself.
bool keepAboveStdio(UniqueFd& fd) {
    if (fd.get() > 2) return true;
    int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    fd.reset(moved);
    return true;
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

bool openPipe(Pipe& pipe) {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    pipe.read.reset(ends[0]);
    pipe.write.reset(ends[1]);
    return keepAboveStdio(pipe.read) && keepAboveStdio(pipe.write);
}

// Blocks SIGPIPE for this thread only while a write to the child is made, and
// swallows the one such a write raises: a child that has gone away makes the
// write fail with EPIPE instead of ending our whole process.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        if (::sigpending(&pending) == 0) pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_) == 0;
    }
    ~SigpipeBlock() {
        if (blocked_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

    // Only a signal raised by our own write is taken; one that was already
    // waiting belongs to someone else.
    void consumeOwnSignal() {
        if (!blocked_ || pendingBefore_) return;
        timespec zero{};
        while (::sigtimedwait(&pipeOnly_, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }

private:
    sigset_t pipeOnly_;
    sigset_t previous_;
    bool pendingBefore_ = false;
    bool blocked_ = false;
};

int exitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Wraps a caller's error-line callback: an exception must not leave the
// reading thread, so the first one is logged and the callback is dropped
// while the stream is still read to its end.
LineAccumulator::Callback guardedStderr(const PipeRunner::LineCallback& cb, bool& dropped) {
    return [&cb, &dropped](const std::string& line) {
        if (dropped) return;
        try {
            cb(line);
        } catch (const std::exception& e) {
            dropped = true;
            Logger::error(std::string("PipeRunner: standard error handler threw: ") + e.what());
        } catch (...) {
            dropped = true;
            Logger::error("PipeRunner: standard error handler threw a non-standard exception");
        }
    };
}

// Reads one descriptor; false at end of stream or on a read error.
bool readInto(int fd, char* buffer, LineAccumulator* sink) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, kReadChunk);
        if (n > 0) {
            if (sink) sink->feed(buffer, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

void signalEvent(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool readable(const pollfd& p) {
    return p.fd >= 0 && p.revents != 0;
}

int pollFor(pollfd* fds, nfds_t count, std::chrono::milliseconds wait) {
    const int ms = wait.count() < 0 ? 0 : static_cast<int>(std::min<long long>(wait.count(), 1000LL * 3600));
    int r = ::poll(fds, count, ms);
    return r < 0 && errno == EINTR ? 0 : r;
}

std::string lineCapText(const char* stream, size_t cap) {
    return std::string("PipeRunner: a line on ") + stream + " is longer than " + std::to_string(cap) +
           " bytes; the child was stopped";
}

// Reads the error stream on a thread of its own until the stream ends or it
// is told to stop, and says so on an event the reading loop watches.
class ErrorReader {
public:
    ErrorReader() = default;
    ~ErrorReader() { stop(); }
    ErrorReader(const ErrorReader&) = delete;
    ErrorReader& operator=(const ErrorReader&) = delete;

    // False when no thread (or no event) can be had: the caller reads the stream itself.
    bool start(int errFd, LineAccumulator& sink, size_t cap, std::function<void(const std::string&)> onOverflow) {
        stop_.reset(::eventfd(0, EFD_CLOEXEC));
        done_.reset(::eventfd(0, EFD_CLOEXEC));
        if (stop_ && done_) {
            try {
                thread_ = std::thread(readErrorStream, errFd, stop_.get(), done_.get(), cap, std::ref(sink),
                                      std::move(onOverflow));
                return true;
            } catch (const std::system_error& e) {
                Logger::warn(std::string("PipeRunner: no thread for standard error: ") + e.what());
            }
        }
        stop_.reset();
        done_.reset();
        return false;
    }

    bool running() const { return thread_.joinable(); }
    // Signalled when the reader has finished; -1 when none runs.
    int doneFd() const { return done_.get(); }

    // Tells the reader to stop, joins it and closes its events.
    void stop() {
        if (thread_.joinable()) {
            signalEvent(stop_.get());
            thread_.join();
        }
        stop_.reset();
        done_.reset();
    }

private:
    static void readErrorStream(int errFd, int stopFd, int doneFd, size_t cap, LineAccumulator& sink,
                                const std::function<void(const std::string&)>& onOverflow) {
        char buffer[kReadChunk];
        pollfd fds[2] = {{errFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        bool overflow = false;
        for (;;) {
            int r = ::poll(fds, 2, -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[1].revents != 0) {
                // Told to stop: what the child wrote before it exited is
                // still taken, a bounded amount of it.
                pollfd ready = {errFd, POLLIN, 0};
                for (int i = 0; i < 16 && ::poll(&ready, 1, 0) > 0; ++i)
                    if (!readInto(errFd, buffer, &sink) || sink.overflowed()) break;
                break;
            }
            if (fds[0].revents != 0 && !readInto(errFd, buffer, &sink)) break;
            if (sink.overflowed()) {
                overflow = true;
                break;
            }
        }
        if (overflow)
            onOverflow(lineCapText("standard error", cap));
        else
            sink.finish();
        signalEvent(doneFd);
    }

    UniqueFd stop_;
    UniqueFd done_;
    std::thread thread_;
};

}  // namespace

struct PipeRunner::Impl {
    Limits limits;

    // The process id has one owner: it is signalled and reaped only under
    // this lock, so a pid is never signalled after it was reaped (and maybe
    // reused). The read ends are closed by kill only while no run reads them.
    mutable std::mutex procMutex;
    pid_t pid = -1;
    bool reaped = true;
    bool statusKnown = false;
    int status = 0;
    bool running = false;
    UniqueFd outFd;
    UniqueFd errFd;

    std::mutex writeMutex;  // serialises writeLine; guards inFd
    UniqueFd inFd;

    // Set (and left set) when the run must end now: kill, a stalled write, a
    // line over the cap. Replaced only by start, closed by the destructor.
    UniqueFd wakeFd;

    mutable std::mutex failureMutex;
    std::string failureText;

    void setFailure(const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(failureMutex);
            if (failureText.empty()) failureText = text;
        }
        Logger::error(text);
        signalEvent(wakeFd.get());
    }

    bool failed() const {
        std::lock_guard<std::mutex> lock(failureMutex);
        return !failureText.empty();
    }

    // True when the child has been reaped (by any thread) or cannot be.
    bool tryReap() {
        std::lock_guard<std::mutex> lock(procMutex);
        if (pid < 1 || reaped) return true;
        for (;;) {
            int st = 0;
            pid_t r = ::waitpid(pid, &st, WNOHANG);
            if (r == pid) {
                reaped = true;
                statusKnown = true;
                status = st;
                return true;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                reaped = true;
                statusKnown = false;
                return true;
            }
            return false;
        }
    }

    void signalChild(int sig) {
        std::lock_guard<std::mutex> lock(procMutex);
        if (pid > 0 && !reaped) ::kill(pid, sig);
    }

    bool reapedWithin(std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        auto pause = std::chrono::milliseconds(1);
        for (;;) {
            if (tryReap()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(pause);
            if (pause < std::chrono::milliseconds(32)) pause *= 2;
        }
    }

    // Any thread may call it; all of them return once the child is reaped.
    void stopChild() {
        if (tryReap()) return;
        signalChild(SIGTERM);
        if (reapedWithin(kTermGrace)) return;
        signalChild(SIGKILL);
        while (!reapedWithin(std::chrono::hours(1))) {
        }
    }

    // Marks the run as started and hands out the read ends; false when there
    // is no child to read or another run reads it.
    bool claimReadEnds(int& out, int& err) {
        std::lock_guard<std::mutex> lock(procMutex);
        if (pid < 1 || running || !outFd || !errFd) return false;
        running = true;
        out = outFd.get();
        err = errFd.get();
        return true;
    }

    // Reads the output (and the error stream, when errRead is not -1) until
    // they end, the error reader reports done on errDoneFd, the drain time
    // after the child's exit is up or the run must end; true in the last case.
    bool pumpStreams(int outRead, int errRead, int errDoneFd, LineAccumulator* outLines, LineAccumulator* errLines) {
        const size_t cap = limits.maxLineBytes;
        bool outOpen = true;
        bool errOpen = errRead >= 0;
        bool errDone = errDoneFd < 0;
        bool woken = false;
        std::optional<std::chrono::steady_clock::time_point> drainUntil;
        char buffer[kReadChunk];
        for (;;) {
            if (!outOpen && !errOpen && errDone) break;
            pollfd fds[4] = {{outOpen ? outRead : -1, POLLIN, 0},
                             {errOpen ? errRead : -1, POLLIN, 0},
                             {wakeFd.get(), POLLIN, 0},
                             {errDone ? -1 : errDoneFd, POLLIN, 0}};
            // Until the child is seen to exit, look again now and then; after
            // that, only until the drain time is up.
            auto wait = std::chrono::milliseconds(50);
            if (drainUntil)
                wait = std::chrono::duration_cast<std::chrono::milliseconds>(*drainUntil -
                                                                             std::chrono::steady_clock::now());
            if (pollFor(fds, 4, wait) < 0) break;
            if (readable(fds[2])) {
                woken = true;
                break;
            }
            // One stream's turn; false when its line passed the cap.
            auto drain = [&](const pollfd& fd, int readFd, bool& open, LineAccumulator* lines, const char* stream) {
                if (!readable(fd)) return true;
                open = readInto(readFd, buffer, lines);
                if (!lines || !lines->overflowed()) return true;
                setFailure(lineCapText(stream, cap));
                return false;
            };
            if (!drain(fds[0], outRead, outOpen, outLines, "standard output") ||
                !drain(fds[1], errRead, errOpen, errLines, "standard error")) {
                woken = true;
                break;
            }
            if (readable(fds[3])) errDone = true;
            if (!drainUntil && tryReap()) drainUntil = std::chrono::steady_clock::now() + limits.drainAfterExit;
            if (drainUntil && std::chrono::steady_clock::now() >= *drainUntil && (outOpen || errOpen || !errDone)) {
                Logger::warn(
                    "PipeRunner: the child has exited but its output is still held open (by a process it left "
                    "behind); stopped reading");
                break;
            }
        }
        return woken;
    }

    // A child that closed its output may still run: wait for it, unless a
    // kill or a failure says otherwise.
    void waitForExit() {
        while (!tryReap()) {
            pollfd wake = {wakeFd.get(), POLLIN, 0};
            if (pollFor(&wake, 1, std::chrono::milliseconds(50)) > 0) stopChild();
        }
    }

    int exitCode() const {
        if (failed()) return -1;
        std::lock_guard<std::mutex> lock(procMutex);
        return statusKnown ? exitCodeOf(status) : -1;
    }

    void closeInput() {
        std::lock_guard<std::mutex> lock(writeMutex);
        inFd.reset();
    }

    void closeAll() {
        closeInput();
        std::lock_guard<std::mutex> lock(procMutex);
        outFd.reset();
        errFd.reset();
    }
};

PipeRunner::PipeRunner() : impl_(std::make_unique<Impl>()) {}

PipeRunner::~PipeRunner() {
    kill();
    impl_->wakeFd.reset();
}

void PipeRunner::setLimits(const Limits& limits) {
    impl_->limits = limits;
}

std::string PipeRunner::failure() const {
    std::lock_guard<std::mutex> lock(impl_->failureMutex);
    return impl_->failureText;
}

bool PipeRunner::start(const LaunchParams& params) {
    if (!impl_->tryReap()) return false;
    impl_->closeAll();
    {
        std::lock_guard<std::mutex> lock(impl_->failureMutex);
        impl_->failureText.clear();
    }
    impl_->wakeFd.reset(::eventfd(0, EFD_CLOEXEC));
    if (!impl_->wakeFd) return false;

    // Every end is closed by its owner on each way out.
    Pipe in;
    Pipe out;
    Pipe err;
    // Our end of the child's input never blocks: a child that stops reading
    // must not hold a writer for ever (writeLine waits with a limit instead).
    if (!openPipe(in) || !openPipe(out) || !openPipe(err) || ::fcntl(in.write.get(), F_SETFL, O_NONBLOCK) != 0)
        return false;

    posix_spawn_file_actions_t actions;
    int rc = ::posix_spawn_file_actions_init(&actions);
    if (rc != 0) {
        Logger::error("posix_spawnp failed: " + errorText(rc));
        return false;
    }
    struct ActionsOwner {
        posix_spawn_file_actions_t* a;
        ~ActionsOwner() { ::posix_spawn_file_actions_destroy(a); }
    } actionsOwner{&actions};

    // dup2 clears close-on-exec on the child's 0..2; every other descriptor,
    // ours or one inherited without close-on-exec, is closed in the child.
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, in.read.get(), 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, err.write.get(), 2);
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (rc == 0 && !params.workingDir.empty())
        rc = ::posix_spawn_file_actions_addchdir_np(&actions, params.workingDir.c_str());

    std::vector<char*> argv;
    argv.reserve(params.args.size() + 2);
    argv.push_back(const_cast<char*>(params.program.c_str()));
    for (const std::string& a : params.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    if (rc == 0) rc = ::posix_spawnp(&pid, params.program.c_str(), &actions, nullptr, argv.data(), environ);
    if (rc != 0) {
        Logger::error("posix_spawnp failed: " + errorText(rc));
        return false;
    }

    // The child's ends are the child's now.
    in.read.reset();
    out.write.reset();
    err.write.reset();
    {
        std::lock_guard<std::mutex> lock(impl_->procMutex);
        impl_->pid = pid;
        impl_->reaped = false;
        impl_->statusKnown = false;
        impl_->outFd = std::move(out.read);
        impl_->errFd = std::move(err.read);
    }
    {
        std::lock_guard<std::mutex> lock(impl_->writeMutex);
        impl_->inFd = std::move(in.write);
    }
    return true;
}

int PipeRunner::run(const LineCallback& onStdoutLine, const LineCallback& onStderrLine) {
    Impl& im = *impl_;
    int outFd = -1;
    int errFd = -1;
    if (!im.claimReadEnds(outFd, errFd)) return -1;
    // A kill from another thread leaves the read ends open while this run
    // reads them; a later kill or the destructor closes them.
    struct RunningMark {
        Impl& im;
        ~RunningMark() {
            std::lock_guard<std::mutex> lock(im.procMutex);
            im.running = false;
        }
    } mark{im};

    const size_t cap = im.limits.maxLineBytes;
    std::optional<LineAccumulator> outSink;
    if (onStdoutLine) outSink.emplace(onStdoutLine, cap);
    LineAccumulator* outLines = outSink ? &*outSink : nullptr;
    bool stderrDropped = false;
    std::optional<LineAccumulator> errSink;
    if (onStderrLine) errSink.emplace(guardedStderr(onStderrLine, stderrDropped), cap);
    LineAccumulator* errLines = errSink ? &*errSink : nullptr;

    // The error stream gets a thread of its own when there is a handler for
    // it; without one (or when no thread can be had) both streams are read
    // here, so that the child never stalls on a full error pipe.
    ErrorReader errReader;
    if (errLines) errReader.start(errFd, *errLines, cap, [&im](const std::string& text) { im.setFailure(text); });
    const bool errHere = !errReader.running();
    try {
        const bool woken = im.pumpStreams(outFd, errHere ? errFd : -1, errReader.doneFd(), outLines, errLines);
        if (woken) im.stopChild();
        errReader.stop();
        if (errHere && errLines && !errLines->overflowed()) errLines->finish();
        if (outLines && !outLines->overflowed()) outLines->finish();
    } catch (...) {
        // The caller's handler gave up: end the child so that nothing waits
        // on it, stop the error reader and join it before passing this on.
        im.stopChild();
        errReader.stop();
        throw;
    }
    im.waitForExit();
    return im.exitCode();
}

bool PipeRunner::writeLine(const std::string& line) {
    Impl& im = *impl_;
    std::lock_guard<std::mutex> lock(im.writeMutex);
    if (!im.inFd) return false;
    std::string data;
    data.reserve(line.size() + 1);
    data += line;
    data += '\n';
    SigpipeBlock sigpipe;
    size_t done = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (done < data.size()) {
        ssize_t n = ::write(im.inFd.get(), data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The child's input is full: wait until it reads some, for a
            // limit, unless the run is already ending.
            pollfd woken = {im.wakeFd.get(), POLLIN, 0};
            if (::poll(&woken, 1, 0) > 0) return false;
            const auto left = im.limits.writeStall - std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         std::chrono::steady_clock::now() - lastProgress);
            if (left.count() <= 0) {
                im.setFailure("PipeRunner: the child read nothing of its input for " +
                              std::to_string(im.limits.writeStall.count()) + " ms; the child was stopped");
                return false;
            }
            pollfd fds[2] = {{im.inFd.get(), POLLOUT, 0}, {im.wakeFd.get(), POLLIN, 0}};
            if (pollFor(fds, 2, left) > 0 && readable(fds[1])) return false;
            continue;
        }
        if (n < 0 && errno == EPIPE) sigpipe.consumeOwnSignal();
        return false;
    }
    return true;
}

void PipeRunner::kill() {
    Impl& im = *impl_;
    signalEvent(im.wakeFd.get());
    im.stopChild();
    im.closeInput();
    std::lock_guard<std::mutex> lock(im.procMutex);
    if (!im.running) {
        im.outFd.reset();
        im.errFd.reset();
    }
}

std::optional<std::string> collectLines(const PipeRunner::LaunchParams& params, bool withStdout) {
    PipeRunner runner;
    if (!runner.start(params)) return std::nullopt;
    // The two handlers run on different threads and append to the one text.
    std::mutex textMutex;
    std::string text;
    auto append = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(textMutex);
        text += line;
        text += '\n';
    };
    PipeRunner::LineCallback onStdout;
    if (withStdout) onStdout = append;
    runner.run(onStdout, append);
    return text;
}

}  // namespace tavo::stampit
