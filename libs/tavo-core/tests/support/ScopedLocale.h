#pragma once

#include <memory>
#include <string>

namespace tavo::test {

// Switches the process (C and C++ global locale) to a locale compiled for the
// test with localedef, since the machine may have none but C installed;
// restores the C locale when it goes away. Check ok() before relying on it.
class ScopedLocale {
public:
    explicit ScopedLocale(const std::string& name = "bg_BG.UTF-8");
    ~ScopedLocale();
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool ok_ = false;
    std::string error_;
};

}  // namespace tavo::test
