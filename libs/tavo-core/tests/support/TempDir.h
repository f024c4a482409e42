#pragma once

#include <filesystem>
#include <string>

namespace tavo::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the owner goes away.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "tavo-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Whole-file helpers for tests.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// Runs a shell command; returns its exit status and fills output with its
// standard output (and standard error when mergeStderr).
int runCommand(const std::string& command, std::string* output = nullptr, bool mergeStderr = true);

// Sets or removes one environment variable for the rest of the scope.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

}  // namespace tavo::test
