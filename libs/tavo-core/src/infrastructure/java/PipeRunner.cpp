#include "infrastructure/java/PipeRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "common/Utf8.h"
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

// The pipes of one child's standard streams; every end is closed by its
// owner on each way out.
struct ChildStreams {
    Pipe in;  // none when the child reads /dev/null
    Pipe out;
    Pipe err;

    bool open(bool inputFromNull) {
        // Our end of the child's input never blocks: a child that stops
        // reading must not hold a writer for ever (writeLine waits with a
        // limit instead).
        if (!inputFromNull && (!openPipe(in) || ::fcntl(in.write.get(), F_SETFL, O_NONBLOCK) != 0)) return false;
        return openPipe(out) && openPipe(err);
    }

    // Once the child runs, its ends are the child's.
    void closeChildEnds() {
        in.read.reset();
        out.write.reset();
        err.write.reset();
    }
};

// The spawn's file actions, destroyed on every way out.
class SpawnActions {
public:
    SpawnActions() { rc_ = ::posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() {
        if (initialised_) ::posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    // 0 or the error number of the first action that could not be added.
    int prepare(const ChildStreams& streams, const std::string& workingDir) {
        if (rc_ != 0) return rc_;
        initialised_ = true;
        // dup2 clears close-on-exec on the child's 0..2; every other
        // descriptor, ours or one inherited without close-on-exec, is closed
        // in the child.
        int rc = streams.in.read ? ::posix_spawn_file_actions_adddup2(&actions_, streams.in.read.get(), 0)
                                 : ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
        if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions_, streams.out.write.get(), 1);
        if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions_, streams.err.write.get(), 2);
        if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
        if (rc == 0 && !workingDir.empty()) rc = ::posix_spawn_file_actions_addchdir_np(&actions_, workingDir.c_str());
        return rc;
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    int rc_ = 0;
    bool initialised_ = false;
};

// Spawn attributes for a child that leads a process group of its own; none
// (the system's defaults) otherwise.
class SpawnAttributes {
public:
    explicit SpawnAttributes(bool ownProcessGroup) {
        if (!ownProcessGroup) return;
        rc_ = ::posix_spawnattr_init(&attr_);
        initialised_ = rc_ == 0;
        if (rc_ == 0) rc_ = ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETPGROUP);
        if (rc_ == 0) rc_ = ::posix_spawnattr_setpgroup(&attr_, 0);
    }
    ~SpawnAttributes() {
        if (initialised_) ::posix_spawnattr_destroy(&attr_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    int error() const { return rc_; }
    const posix_spawnattr_t* get() const { return initialised_ ? &attr_ : nullptr; }

private:
    posix_spawnattr_t attr_;
    int rc_ = 0;
    bool initialised_ = false;
};

// Starts the program; logs and returns false when it cannot be started.
bool spawnChild(const PipeRunner::LaunchParams& params, const ChildStreams& streams, bool ownProcessGroup, pid_t& pid) {
    SpawnActions actions;
    SpawnAttributes attributes(ownProcessGroup);
    int rc = actions.prepare(streams, params.workingDir);
    if (rc == 0) rc = attributes.error();
    std::vector<char*> argv;
    argv.reserve(params.args.size() + 2);
    argv.push_back(const_cast<char*>(params.program.c_str()));
    for (const std::string& a : params.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (rc == 0)
        rc = ::posix_spawnp(&pid, params.program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    if (rc == 0) return true;
    Logger::error("posix_spawnp failed: " + errorText(rc));
    return false;
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
    using Clock = std::chrono::steady_clock;

    Limits limits;

    // The process id has one owner: it is signalled and reaped only under
    // this lock, so a pid is never signalled after it was reaped (and maybe
    // reused). The read ends are closed by kill only while no run reads them.
    mutable std::mutex procMutex;
    pid_t pid = -1;
    bool ownGroup = false;  // the child leads a process group of its own
    bool reaped = true;
    bool statusKnown = false;
    int status = 0;
    bool running = false;
    UniqueFd outFd;
    UniqueFd errFd;

    std::mutex writeMutex;  // serialises writeLine; guards inFd
    UniqueFd inFd;

    // Set (and left set) when the run must end now: kill, a stalled write, a
    // line over the cap, the deadline. Replaced only by start, closed by the
    // destructor.
    UniqueFd wakeFd;

    // Fixed by start, read by the run and the writers afterwards.
    std::optional<Clock::time_point> deadlineAt;
    std::atomic<bool> deadlineHit{false};

    mutable std::mutex failureMutex;
    std::string failureText;

    void setFailure(const std::string& text, LogLevel level = LogLevel::Error) {
        {
            std::lock_guard<std::mutex> lock(failureMutex);
            if (failureText.empty()) failureText = text;
        }
        Logger::log(level, text);
        signalEvent(wakeFd.get());
    }

    bool failed() const {
        std::lock_guard<std::mutex> lock(failureMutex);
        return !failureText.empty();
    }

    // False while a child of the last start still runs.
    bool prepareForStart() {
        if (!tryReap()) return false;
        closeAll();
        {
            std::lock_guard<std::mutex> lock(failureMutex);
            failureText.clear();
        }
        deadlineHit = false;
        deadlineAt.reset();
        wakeFd.reset(::eventfd(0, EFD_CLOEXEC));
        return static_cast<bool>(wakeFd);
    }

    // Takes over a started child and our ends of its streams.
    void adopt(pid_t child, UniqueFd& out, UniqueFd& err, UniqueFd& in) {
        if (limits.deadline.count() > 0) deadlineAt = Clock::now() + limits.deadline;
        {
            std::lock_guard<std::mutex> lock(procMutex);
            pid = child;
            ownGroup = limits.ownProcessGroup;
            reaped = false;
            statusKnown = false;
            outFd = std::move(out);
            errFd = std::move(err);
        }
        std::lock_guard<std::mutex> lock(writeMutex);
        inFd = std::move(in);
    }

    // A child with a group of its own takes what it left there with it. The
    // group is signalled while the child is still unreaped, so its id cannot
    // have passed to another process. Called under procMutex.
    bool stillRunningElseSweepGroup() {
        if (!ownGroup) return false;
        siginfo_t info{};
        int r;
        do {
            r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        } while (r < 0 && errno == EINTR);
        if (r == 0 && info.si_pid == 0) return true;
        if (r == 0) ::kill(-pid, SIGKILL);
        return false;
    }

    // True when the child has been reaped (by any thread) or cannot be.
    bool tryReap() {
        std::lock_guard<std::mutex> lock(procMutex);
        if (pid < 1 || reaped) return true;
        if (stillRunningElseSweepGroup()) return false;
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
        if (pid > 0 && !reaped) ::kill(ownGroup ? -pid : pid, sig);
    }

    bool reapedWithin(std::chrono::milliseconds limit) {
        auto deadline = Clock::now() + limit;
        auto pause = std::chrono::milliseconds(1);
        for (;;) {
            if (tryReap()) return true;
            if (Clock::now() >= deadline) return false;
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

    bool pastDeadline() const { return deadlineAt && Clock::now() >= *deadlineAt; }

    // The deadline has passed: the run ends as a failure.
    void expire() {
        deadlineHit = true;
        setFailure("PipeRunner: the child did not end within " + std::to_string(limits.deadline.count()) +
                       " ms; it was stopped",
                   LogLevel::Warn);
    }

    // How long the next look at the streams may wait: a while until the child
    // is seen to exit, after that only until the drain time is up; never past
    // the deadline.
    std::chrono::milliseconds nextWait(const std::optional<Clock::time_point>& drainUntil) const {
        const auto now = Clock::now();
        auto wait = drainUntil ? std::chrono::ceil<std::chrono::milliseconds>(*drainUntil - now)
                               : std::chrono::milliseconds(50);
        if (deadlineAt) wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(*deadlineAt - now));
        return wait;
    }

    // One stream the reading loop takes turns on.
    struct Stream {
        int fd;  // -1: not read here
        LineAccumulator* lines;
        const char* name;
        bool open = fd >= 0;
        int pollFd() const { return open ? fd : -1; }
    };

    // Reads the stream when it has something; false when its line passed the cap.
    bool takeTurn(const pollfd& polled, Stream& stream, char* buffer) {
        if (!readable(polled)) return true;
        stream.open = readInto(stream.fd, buffer, stream.lines);
        if (!stream.lines || !stream.lines->overflowed()) return true;
        setFailure(lineCapText(stream.name, limits.maxLineBytes));
        return false;
    }

    // Reads the output (and the error stream, when errRead is not -1) until
    // they end, the error reader reports done on errDoneFd, the drain time
    // after the child's exit is up or the run must end; true in the last case.
    bool pumpStreams(int outRead, int errRead, int errDoneFd, LineAccumulator* outLines, LineAccumulator* errLines) {
        Stream out{outRead, outLines, "standard output"};
        Stream err{errRead, errLines, "standard error"};
        bool errDone = errDoneFd < 0;
        std::optional<Clock::time_point> drainUntil;
        char buffer[kReadChunk];
        while (out.open || err.open || !errDone) {
            pollfd fds[4] = {{out.pollFd(), POLLIN, 0},
                             {err.pollFd(), POLLIN, 0},
                             {wakeFd.get(), POLLIN, 0},
                             {errDone ? -1 : errDoneFd, POLLIN, 0}};
            if (pollFor(fds, 4, nextWait(drainUntil)) < 0) return false;
            if (readable(fds[2])) return true;
            if (!takeTurn(fds[0], out, buffer) || !takeTurn(fds[1], err, buffer)) return true;
            if (readable(fds[3])) errDone = true;
            if (!drainUntil && tryReap()) drainUntil = Clock::now() + limits.drainAfterExit;
            if (pastDeadline()) {
                expire();
                return true;
            }
            if (drainUntil && Clock::now() >= *drainUntil && (out.open || err.open || !errDone)) {
                Logger::warn(
                    "PipeRunner: the child has exited but its output is still held open (by a process it left "
                    "behind); stopped reading");
                return false;
            }
        }
        return false;
    }

    // A child that closed its output may still run: wait for it, unless a
    // kill, a failure or the deadline says otherwise.
    void waitForExit() {
        while (!tryReap()) {
            if (pastDeadline() && !deadlineHit) expire();
            pollfd wake = {wakeFd.get(), POLLIN, 0};
            if (pollFor(&wake, 1, nextWait(std::nullopt)) > 0) stopChild();
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

bool PipeRunner::deadlinePassed() const {
    return impl_->deadlineHit;
}

std::string PipeRunner::failure() const {
    std::lock_guard<std::mutex> lock(impl_->failureMutex);
    return impl_->failureText;
}

bool PipeRunner::start(const LaunchParams& params) {
    Impl& im = *impl_;
    if (!im.prepareForStart()) return false;
    ChildStreams streams;
    if (!streams.open(im.limits.inputFromNull)) return false;
    pid_t pid = -1;
    if (!spawnChild(params, streams, im.limits.ownProcessGroup, pid)) return false;
    streams.closeChildEnds();
    im.adopt(pid, streams.out.read, streams.err.read, streams.in.write);
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

ProgramAnswer askProgram(const PipeRunner::LaunchParams& params, bool withStdout, std::chrono::milliseconds deadline) {
    PipeRunner runner;
    PipeRunner::Limits limits;
    limits.maxLineBytes = kMaxAnswerBytes;
    limits.deadline = deadline;
    limits.inputFromNull = true;
    limits.ownProcessGroup = true;
    runner.setLimits(limits);
    ProgramAnswer answer;
    answer.started = runner.start(params);
    if (!answer.started) return answer;
    // The two handlers run on different threads and append to the one text.
    std::mutex textMutex;
    bool full = false;
    auto append = [&](const std::string& line) {
        bool filledNow = false;
        {
            std::lock_guard<std::mutex> lock(textMutex);
            if (full) return;
            const size_t room = kMaxAnswerBytes - answer.text.size();
            filledNow = full = line.size() >= room;
            answer.text.append(line, 0, full ? room : line.size());
            if (!full) answer.text += '\n';
        }
        if (filledNow) runner.kill();
    };
    PipeRunner::LineCallback onStdout;
    if (withStdout) onStdout = append;
    runner.run(onStdout, append);
    answer.timedOut = runner.deadlinePassed();
    return answer;
}

std::string commandLineForLog(const std::string& program, const std::vector<std::string>& args) {
    std::string line = program;
    for (const std::string& a : args) line += ' ' + a;
    return core::common::utf8::escapeForLog(line);
}

}  // namespace tavo::stampit
