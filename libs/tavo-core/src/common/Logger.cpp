#include "common/Logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "common/Files.h"

namespace tavo {
namespace {

// Function-local statics: registrars log during static initialisation, before
// any namespace-scope object of this file is guaranteed to exist.
struct LoggerState {
    std::mutex mutex;
    core::common::files::UniqueFd file;
    // The last line reached the file only in part: the next one starts on a
    // line of its own.
    bool torn = false;
};

// Only a regular file of the user's own, with no second name, is a log: a
// link planted in its place is not followed, and a FIFO or a device is never
// waited on (opening without blocking). The log names taxpayers and their filings: created
// readable by the user only, and a log left readable by others is made so.
int openLog(const std::string& path) {
    core::common::files::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!fd) return -1;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || info.st_nlink != 1)
        return -1;
    if ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), 0600) != 0) return -1;
    return fd.release();
}

LoggerState& state() {
    static LoggerState s;
    return s;
}

const char* levelName(LogLevel level) {
    switch (static_cast<int>(level)) {
        case 0:
            return "DEBUG";
        case 1:
            return "INFO ";
        case 2:
            return "WARN ";
        case 3:
            return "ERROR";
        default:
            return "?????";
    }
}

}  // namespace

std::string Logger::formatLine(LogLevel level, const std::string& message) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32] = {0};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line;
    line.reserve(message.size() + 32);
    line += stamp;
    line += " [";
    line += levelName(level);
    line += "] ";
    line += message;
    return line;
}

void Logger::init(const std::string& path) {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.file.reset(openLog(path));
    s.torn = false;
}

void Logger::log(LogLevel level, const std::string& message) {
    std::string line = formatLine(level, message);
    line += '\n';
    LoggerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    // A failed write is dropped: logging never fails the caller.
    if (s.file) {
        if (s.torn) line.insert(line.begin(), '\n');
        std::size_t written = 0;
        core::common::files::writeAll(s.file.get(), line.data(), line.size(), &written);
        // Nothing written leaves the file as it was (torn or not).
        if (written > 0) s.torn = written < line.size();
    }
}

void Logger::flush() {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    // Lines go to the file unbuffered, as they are written.
    std::fflush(stderr);
}

}  // namespace tavo
