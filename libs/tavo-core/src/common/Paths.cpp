#include "common/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/ExecutablePath.h"
#include "common/Files.h"
#include "common/Logger.h"
#include "common/Utf8.h"

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

// The folders hold the user's keys, PINs, logs and applet: every one of the
// agent's own (below the per-user data folder) is the user's alone; a folder
// or a link of another account, or a link leading to one, is refused, with a
// line in the log.
bool Paths::ensureDirectory(const std::string& path) {
    core::common::files::DirResult made = core::common::files::prepareUserDirectory(path, localAppData());
    if (!made) Logger::error("Paths: folder refused: " + core::common::utf8::escapeForLog(made.reason));
    return made.ok;
}

}  // namespace tavo
