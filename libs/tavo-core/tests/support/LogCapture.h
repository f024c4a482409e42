#pragma once

#include <string>

#include "support/TempDir.h"

namespace tavo::test {

// Sends the library's log to a fresh file for the life of the object, so a
// test can assert on what was (and was not) written.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const;
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

private:
    TempDir dir_;
};

// Whether a line of the log text begins with start: what a line forged by
// text from outside would look like.
bool hasLineStartingWith(const std::string& log, const std::string& start);

}  // namespace tavo::test
