#include "common/Logger.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>

namespace tavo {
namespace {

// Function-local statics: registrars log during static initialisation, before
// any namespace-scope object of this file is guaranteed to exist.
struct LoggerState {
    std::mutex mutex;
    std::ofstream file;
};

LoggerState& state() {
    static LoggerState s;
    return s;
}

const char* levelName(LogLevel level) {
    switch (static_cast<int>(level)) {
        case 0: return "DEBUG";
        case 1: return "INFO ";
        case 2: return "WARN ";
        case 3: return "ERROR";
        default: return "?????";
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
    if (s.file.is_open()) s.file.close();
    s.file.clear();
    s.file.open(path, std::ios::out | std::ios::app | std::ios::binary);
    if (!s.file.is_open()) s.file.clear();
}

void Logger::log(LogLevel level, const std::string& message) {
    std::string line = formatLine(level, message);
    line += '\n';
    LoggerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (s.file.is_open()) {
        s.file.write(line.data(), static_cast<std::streamsize>(line.size()));
        s.file.flush();
        if (!s.file) s.file.clear();
    }
}

void Logger::flush() {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::fflush(stderr);
    if (s.file.is_open()) s.file.flush();
}

}  // namespace tavo
