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
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/Logger.h"
#include "infrastructure/java/LineAccumulator.h"

extern char** environ;

namespace tavo::stampit {
namespace {

// One pipe buffer's worth per read: 4 KB reads cost a system call per 50
// lines and doubled the time of a large transfer.
constexpr size_t kReadChunk = 65536;
// How long a child gets to end after SIGTERM before it is killed outright.
constexpr std::chrono::milliseconds kTermGrace{2000};

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

std::string errorText(int err) {
    return std::system_category().message(err);
}

// Pipe ends must not sit on 0..2: the child's dup2 onto its standard
// descriptors would overwrite one pipe end with another, or keep
// close-on-exec set on a descriptor duplicated onto itself.
bool keepAboveStdio(int& fd) {
    if (fd > 2) return true;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    ::close(fd);
    fd = moved;
    return true;
}

bool openPipe(int ends[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    return keepAboveStdio(ends[0]) && keepAboveStdio(ends[1]);
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

// Blocking wait; the status, or -1 when the child cannot be waited for.
int waitBlocking(pid_t pid, int* status) {
    for (;;) {
        pid_t r = ::waitpid(pid, status, 0);
        if (r == pid) return 0;
        if (r < 0 && errno == EINTR) continue;
        return -1;
    }
}

// True when the child has been reaped (or can no longer be waited for)
// within the limit.
bool waitBounded(pid_t pid, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(32)) pause *= 2;
    }
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

// The error reader: reads to end of stream unless told to stop through the
// event descriptor (only when run gives up on the child).
void readErrorStream(int errFd, int stopFd, LineAccumulator& sink) {
    char buffer[kReadChunk];
    pollfd fds[2] = {{errFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        if (fds[0].revents != 0 && !readInto(errFd, buffer, &sink)) break;
    }
    sink.finish();
}

// Both streams on the calling thread; the error sink may be null (dropped).
void readBothStreams(int outFd, int errFd, LineAccumulator* outSink, LineAccumulator* errSink) {
    char buffer[kReadChunk];
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? outFd : -1, POLLIN, 0}, {errOpen ? errFd : -1, POLLIN, 0}};
        int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) outOpen = readInto(outFd, buffer, outSink);
        if (fds[1].revents != 0) errOpen = readInto(errFd, buffer, errSink);
    }
}

}  // namespace

struct PipeRunner::Impl {
    pid_t pid = -1;
    int inFd = -1;
    int outFd = -1;
    int errFd = -1;
    std::mutex writeMutex;

    void closeAll() {
        {
            std::lock_guard<std::mutex> lock(writeMutex);
            closeFd(inFd);
        }
        closeFd(outFd);
        closeFd(errFd);
    }

    void stopChild() {
        if (pid < 1) return;
        ::kill(pid, SIGTERM);
        if (!waitBounded(pid, kTermGrace)) {
            ::kill(pid, SIGKILL);
            int status = 0;
            waitBlocking(pid, &status);
        }
        pid = -1;
    }
};

PipeRunner::PipeRunner() : impl_(std::make_unique<Impl>()) {}

PipeRunner::~PipeRunner() {
    kill();
}

bool PipeRunner::start(const LaunchParams& params) {
    if (impl_->pid > 0) return false;
    impl_->closeAll();

    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    auto closeSix = [&] {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]}) closeFd(*fd);
    };
    if (!openPipe(in) || !openPipe(out) || !openPipe(err)) {
        closeSix();
        return false;
    }

    posix_spawn_file_actions_t actions;
    int rc = ::posix_spawn_file_actions_init(&actions);
    if (rc != 0) {
        Logger::error("posix_spawnp failed: " + errorText(rc));
        closeSix();
        return false;
    }
    struct ActionsOwner {
        posix_spawn_file_actions_t* a;
        ~ActionsOwner() { ::posix_spawn_file_actions_destroy(a); }
    } actionsOwner{&actions};

    // dup2 clears close-on-exec on the child's 0..2; every other descriptor,
    // ours or one inherited without close-on-exec, is closed in the child.
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
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
        closeSix();
        return false;
    }

    closeFd(in[0]);
    closeFd(out[1]);
    closeFd(err[1]);
    impl_->pid = pid;
    {
        std::lock_guard<std::mutex> lock(impl_->writeMutex);
        impl_->inFd = in[1];
    }
    impl_->outFd = out[0];
    impl_->errFd = err[0];
    return true;
}

int PipeRunner::run(const LineCallback& onStdoutLine, const LineCallback& onStderrLine) {
    if (impl_->pid < 1 || impl_->outFd < 0 || impl_->errFd < 0) return -1;
    const int outFd = impl_->outFd;
    const int errFd = impl_->errFd;

    std::optional<LineAccumulator> outSink;
    if (onStdoutLine) outSink.emplace(onStdoutLine);
    bool stderrDropped = false;
    std::optional<LineAccumulator> errSink;
    if (onStderrLine) errSink.emplace(guardedStderr(onStderrLine, stderrDropped));

    // The error stream gets a thread of its own when there is a handler for
    // it; without one (or when no thread can be had) both streams are read
    // here, so that the child never stalls on a full error pipe.
    int stopFd = -1;
    std::thread errReader;
    if (errSink) {
        stopFd = ::eventfd(0, EFD_CLOEXEC);
        if (stopFd >= 0) {
            try {
                errReader = std::thread([errFd, stopFd, &errSink] { readErrorStream(errFd, stopFd, *errSink); });
            } catch (const std::system_error& e) {
                Logger::warn(std::string("PipeRunner: no thread for standard error: ") + e.what());
                closeFd(stopFd);
            }
        }
    }

    try {
        if (errReader.joinable()) {
            char buffer[kReadChunk];
            while (readInto(outFd, buffer, outSink ? &*outSink : nullptr)) {
            }
        } else {
            readBothStreams(outFd, errFd, outSink ? &*outSink : nullptr, errSink ? &*errSink : nullptr);
            if (errSink) errSink->finish();
        }
        if (outSink) outSink->finish();
    } catch (...) {
        // The caller's handler gave up: end the child so that nothing waits
        // on it, stop the error reader and join it before passing this on.
        impl_->stopChild();
        if (errReader.joinable()) {
            uint64_t one = 1;
            while (::write(stopFd, &one, sizeof one) < 0 && errno == EINTR) {
            }
            errReader.join();
        }
        closeFd(stopFd);
        throw;
    }

    if (errReader.joinable()) errReader.join();
    closeFd(stopFd);

    int status = 0;
    int code = -1;
    if (waitBlocking(impl_->pid, &status) == 0) code = exitCodeOf(status);
    impl_->pid = -1;
    return code;
}

bool PipeRunner::writeLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(impl_->writeMutex);
    if (impl_->inFd < 0) return false;
    std::string data;
    data.reserve(line.size() + 1);
    data += line;
    data += '\n';
    SigpipeBlock sigpipe;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(impl_->inFd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE) sigpipe.consumeOwnSignal();
        return false;
    }
    return true;
}

void PipeRunner::kill() {
    impl_->stopChild();
    impl_->closeAll();
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
