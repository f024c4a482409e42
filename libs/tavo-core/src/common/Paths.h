#pragma once

#include <string>

namespace tavo {

// Per-user folders of the agent, computed from the environment on every call.
class Paths {
public:
    static std::string localAppData();
    static std::string logsDir();
    static std::string stampitRoot();
    static std::string stampitJars();
    static std::string stampitNative();
    static std::string stampitWrapperDir();
    static std::string executableDir();
    static std::string toShortPath(const std::string& path);
    static bool ensureDirectory(const std::string& path);
};

}  // namespace tavo
