#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace tavo::test {

// Sends standard error to /dev/null for the scope: the logger writes every
// line there too, and some runs produce tens of thousands of them.
class QuietStderr {
public:
    QuietStderr() : saved_(::dup(2)) {
        std::fflush(stderr);
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 2);
        ::close(devnull);
    }
    ~QuietStderr() {
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_;
};

}  // namespace tavo::test
