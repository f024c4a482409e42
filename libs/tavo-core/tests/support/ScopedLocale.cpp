#include "support/ScopedLocale.h"

#include <clocale>
#include <locale>

#include "support/TempDir.h"

namespace tavo::test {

struct ScopedLocale::Impl {
    TempDir dir{"tavo-locale"};
    std::unique_ptr<ScopedEnv> locPath;
};

ScopedLocale::ScopedLocale(const std::string& name) : impl_(std::make_unique<Impl>()) {
    size_t dot = name.find('.');
    std::string source = name.substr(0, dot);
    std::string charmap = dot == std::string::npos ? "UTF-8" : name.substr(dot + 1);
    std::string output;
    int rc =
        runCommand("localedef -i " + source + " -f " + charmap + " '" + (impl_->dir / name).string() + "'", &output);
    impl_->locPath = std::make_unique<ScopedEnv>("LOCPATH", impl_->dir.str().c_str());
    if (!std::setlocale(LC_ALL, name.c_str())) {
        error_ = "locale " + name + " unavailable (localedef exit " + std::to_string(rc) + "): " + output;
        return;
    }
    try {
        std::locale::global(std::locale(name));
    } catch (const std::exception& e) {
        error_ = e.what();
        std::setlocale(LC_ALL, "C");
        return;
    }
    ok_ = true;
}

ScopedLocale::~ScopedLocale() {
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, "C");
}

}  // namespace tavo::test
