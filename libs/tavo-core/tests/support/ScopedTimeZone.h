#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "support/TempDir.h"

namespace tavo::test {

// The process's time zone (TZ, then tzset) for the rest of the scope, restored
// after. Process-wide: only for tests that run no other thread meanwhile.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        env_.emplace("TZ", zone);
        ::tzset();
    }
    ~ScopedTimeZone() {
        env_.reset();
        ::tzset();
    }

private:
    std::optional<ScopedEnv> env_;
};

// The wall-clock time at `when` in the process's current zone.
inline std::string wallClock(std::time_t when, const char* format) {
    std::tm local{};
    localtime_r(&when, &local);
    char buf[64];
    std::strftime(buf, sizeof buf, format, &local);
    return buf;
}

}  // namespace tavo::test
