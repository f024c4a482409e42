#include "support/LogCapture.h"

#include "common/Logger.h"

namespace tavo::test {

LogCapture::LogCapture() : dir_("tavo-log") {
    tavo::Logger::init((dir_ / "tavo.log").string());
}

// An empty path closes the file and opens none.
LogCapture::~LogCapture() {
    tavo::Logger::init("");
}

std::string LogCapture::text() const {
    tavo::Logger::flush();
    return readFile(dir_ / "tavo.log");
}

bool hasLineStartingWith(const std::string& log, const std::string& start) {
    for (size_t pos = 0; pos < log.size();) {
        if (log.compare(pos, start.size(), start) == 0) return true;
        size_t next = log.find('\n', pos);
        if (next == std::string::npos) break;
        pos = next + 1;
    }
    return false;
}

}  // namespace tavo::test
