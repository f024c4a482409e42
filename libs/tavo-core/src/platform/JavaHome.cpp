#include "platform/JavaHome.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/JavaHomeTesting.h"

namespace tavo::platform {
namespace {

constexpr const char* kDefaultJava = "/usr/lib/jvm/default-java";
constexpr std::string_view kBinJava = "/bin/java";

std::atomic<JavaHomeSource>& source() {
    static std::atomic<JavaHomeSource> s{nullptr};
    return s;
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The folder above bin/java of the program a link leads to.
std::string homeOf(const std::string& candidate) {
    std::error_code ec;
    std::string resolved = std::filesystem::canonical(candidate, ec).string();
    if (ec || resolved.size() <= kBinJava.size() ||
        resolved.compare(resolved.size() - kBinJava.size(), kBinJava.size(), kBinJava) != 0)
        return {};
    return resolved.substr(0, resolved.size() - kBinJava.size()) + "\n";
}

}  // namespace

std::string javaHomeOutputFor(const std::string& defaultJava, const char* pathList) {
    std::error_code ec;
    if (!defaultJava.empty() && std::filesystem::is_directory(defaultJava, ec)) return defaultJava + "\n";
    if (!pathList) return {};
    std::string_view list(pathList);
    size_t pos = 0;
    for (;;) {
        size_t colon = list.find(':', pos);
        std::string_view entry = list.substr(pos, colon == std::string_view::npos ? colon : colon - pos);
        if (!entry.empty()) {
            std::string candidate = std::string(entry) + "/java";
            if (isExecutableFile(candidate)) return homeOf(candidate);
        }
        if (colon == std::string_view::npos) break;
        pos = colon + 1;
    }
    return {};
}

std::string javaHomeOutput() {
    if (JavaHomeSource replaced = source().load()) return replaced();
    return javaHomeOutputFor(kDefaultJava, std::getenv("PATH"));
}

void setJavaHomeSourceForTesting(JavaHomeSource replacement) {
    source().store(replacement);
}

}  // namespace tavo::platform
