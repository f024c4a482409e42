#pragma once

#include <string>

namespace tavo {

enum class LogLevel : int { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// The process-wide log: every line goes to standard error and, once init has
// opened it, to the log file; both are flushed before log returns.
class Logger {
public:
    static void init(const std::string& path);
    static void log(LogLevel level, const std::string& message);
    static void flush();

    static void debug(const std::string& message) { log(LogLevel::Debug, message); }
    static void info(const std::string& message) { log(LogLevel::Info, message); }
    static void warn(const std::string& message) { log(LogLevel::Warn, message); }
    static void error(const std::string& message) { log(LogLevel::Error, message); }

    // The line as log writes it, without the newline; exposed for tests.
    static std::string formatLine(LogLevel level, const std::string& message);
};

}  // namespace tavo
