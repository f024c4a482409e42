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

}  // namespace tavo::test
