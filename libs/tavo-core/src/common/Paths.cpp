#include "common/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/ExecutablePath.h"
#include "common/Files.h"

namespace tavo {
namespace fs = std::filesystem;

namespace {
std::string join(const std::string& left, const std::string& right) {
    return (fs::path(left) / right).string();
}
}  // namespace

std::string Paths::localAppData() {
    const char* home = std::getenv("HOME");
    if (!home) return {};
    return std::string(home) + "/Library/Application Support";
}

std::string Paths::logsDir() {
    return join(join(localAppData(), "TAVOAgent"), "Logs");
}

std::string Paths::stampitRoot() {
    return join(join(localAppData(), "TAVOAgent"), "StampIT");
}

std::string Paths::stampitJars() {
    return stampitRoot();
}

std::string Paths::stampitNative() {
    return join(stampitRoot(), "native");
}

std::string Paths::stampitWrapperDir() {
    return join(stampitRoot(), "wrapper");
}

std::string Paths::executableDir() {
    std::string exe = executablePath();
    if (exe.empty()) return {};
    return fs::path(exe).parent_path().string();
}

std::string Paths::toShortPath(const std::string& path) {
    return path;
}

// The folders hold the user's keys, PINs, logs and applet: readable by the user only.
bool Paths::ensureDirectory(const std::string& path) {
    return core::common::files::createUserDirectories(path);
}

}  // namespace tavo
