#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::stampit {

// One Java runtime found on the machine.
struct JavaInstall {
    std::string path;     // the java program as it was probed
    std::string version;  // from "java -version"; never empty
    bool is64Bit = false;
};

// Looks for a usable java program in a fixed order of places, checking each
// candidate by running it.
class JavaFinder {
public:
    static constexpr std::array<const char*, 2> kPrefixes = {"/opt/homebrew/opt", "/usr/local/opt"};
    static constexpr std::array<const char*, 4> kFormulae = {"openjdk", "openjdk@21", "openjdk@17", "openjdk@11"};

    static std::optional<JavaInstall> find();
    static std::vector<JavaInstall> findAll();

    static std::optional<JavaInstall> findOpenWebStart();
    static std::optional<JavaInstall> findJavaHome();
    static std::optional<JavaInstall> findMicrosoftOpenJdk();
    static std::optional<JavaInstall> findHomebrewOpenJdk();
    static std::optional<JavaInstall> findSystemJavaMac();
    static std::optional<JavaInstall> findOnPath();

    static std::optional<JavaInstall> probe(const std::string& path);

    // How long one question to a runtime (its version, its properties) may
    // take before the runtime and what it started are stopped.
    static void setRunDeadline(std::chrono::milliseconds deadline);
    static std::chrono::milliseconds runDeadline();
    static constexpr std::chrono::milliseconds kDefaultRunDeadline{5000};
};

// Runs the java program with the arguments under the run deadline; its
// standard error (and standard output too when withStdout), a bounded
// prefix. None when it cannot be started or did not end in time (WARN).
std::optional<std::string> askJava(const std::string& javaPath, const std::vector<std::string>& args, bool withStdout);

// The quoted text after the first "version", one or more blanks and a quote
// that has a closing quote (what version\s+"([^"]+)" captures first); empty
// when there is none. Linear in the text, whatever the runtime printed.
std::string javaVersionIn(std::string_view text);

}  // namespace tavo::stampit
