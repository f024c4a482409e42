#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace tavo::test {

// The process's time zone (TZ, then tzset) for the rest of the scope, restored
// after. Process-wide: only for tests that run no other thread meanwhile.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> old_;
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
