#include "infrastructure/java/JavaFinder.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <system_error>

#include "common/Ascii.h"
#include "common/Logger.h"
#include "common/Utf8.h"
#include "infrastructure/java/PipeRunner.h"
#include "platform/JavaHome.h"

namespace tavo::stampit {
namespace {

namespace fs = std::filesystem;

bool entryExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

std::optional<JavaInstall> probeIfExists(const fs::path& candidate) {
    if (!entryExists(candidate)) return std::nullopt;
    return JavaFinder::probe(candidate.string());
}

std::atomic<long long>& deadlineMs() {
    static std::atomic<long long> ms{JavaFinder::kDefaultRunDeadline.count()};
    return ms;
}

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

}  // namespace

void JavaFinder::setRunDeadline(std::chrono::milliseconds deadline) {
    deadlineMs() = deadline.count();
}

std::chrono::milliseconds JavaFinder::runDeadline() {
    return std::chrono::milliseconds(deadlineMs().load());
}

std::optional<std::string> askJava(const std::string& javaPath, const std::vector<std::string>& args, bool withStdout) {
    const auto deadline = JavaFinder::runDeadline();
    ProgramAnswer answer = askProgram({javaPath, args, {}}, withStdout, deadline);
    if (!answer.started) return std::nullopt;
    if (answer.timedOut) {
        Logger::warn("Java did not answer within " + std::to_string(deadline.count()) +
                     " ms and was stopped; not used: " + commandLineForLog(javaPath, args));
        return std::nullopt;
    }
    return std::move(answer.text);
}

std::string javaVersionIn(std::string_view text) {
    constexpr std::string_view kWord = "version";
    size_t from = 0;
    for (;;) {
        size_t at = text.find(kWord, from);
        if (at == std::string_view::npos) return {};
        from = at + 1;
        size_t i = at + kWord.size();
        size_t blanks = i;
        while (i < text.size() && tavo::core::common::ascii::isSpace(text[i])) ++i;
        if (i == blanks || i >= text.size() || text[i] != '"') continue;
        size_t open = i + 1;
        size_t close = text.find('"', open);
        // Without a closing quote here there is none after any later "version" either.
        if (close == std::string_view::npos) return {};
        if (close == open) continue;
        return std::string(text.substr(open, close - open));
    }
}

std::optional<JavaInstall> JavaFinder::find() {
    for (auto finder : {&findOpenWebStart, &findJavaHome, &findHomebrewOpenJdk, &findSystemJavaMac, &findOnPath}) {
        if (auto install = finder()) return install;
    }
    return std::nullopt;
}

std::vector<JavaInstall> JavaFinder::findAll() {
    std::vector<JavaInstall> all;
    for (auto finder : {&findOpenWebStart, &findJavaHome, &findHomebrewOpenJdk, &findSystemJavaMac, &findOnPath}) {
        auto install = finder();
        if (!install) continue;
        bool seen = false;
        for (const JavaInstall& known : all) seen = seen || known.path == install->path;
        if (!seen) all.push_back(std::move(*install));
    }
    return all;
}

std::optional<JavaInstall> JavaFinder::findOpenWebStart() {
    const char* home = nonEmptyEnv("HOME");
    if (!home) return std::nullopt;
    return probe((fs::path(home) / "Library" / "Application Support" / "OpenWebStart" / "jvm" / "default" / "Contents" /
                  "Home" / "bin" / "java")
                     .string());
}

std::optional<JavaInstall> JavaFinder::findJavaHome() {
    const char* javaHome = nonEmptyEnv("JAVA_HOME");
    if (!javaHome) return std::nullopt;
    return probe((fs::path(javaHome) / "bin" / "java").string());
}

std::optional<JavaInstall> JavaFinder::findMicrosoftOpenJdk() {
    return std::nullopt;
}

std::optional<JavaInstall> JavaFinder::findHomebrewOpenJdk() {
    for (const char* prefix : kPrefixes) {
        for (const char* formula : kFormulae) {
            fs::path base = fs::path(prefix) / formula;
            if (auto install = probeIfExists(base / "libexec" / "openjdk.jdk" / "Contents" / "Home" / "bin" / "java"))
                return install;
            if (auto install = probeIfExists(base / "bin" / "java")) return install;
        }
    }
    return std::nullopt;
}

std::optional<JavaInstall> JavaFinder::findSystemJavaMac() {
    std::string home = platform::javaHomeOutput();
    while (!home.empty() && (home.back() == ' ' || home.back() == '\t' || home.back() == '\r' || home.back() == '\n'))
        home.pop_back();
    if (home.empty()) return std::nullopt;
    return probeIfExists(fs::path(home) / "bin" / "java");
}

std::optional<JavaInstall> JavaFinder::findOnPath() {
    const char* pathList = std::getenv("PATH");
    if (!pathList) return std::nullopt;
    std::string_view list(pathList);
    size_t pos = 0;
    for (;;) {
        size_t colon = list.find(':', pos);
        std::string_view entry = list.substr(pos, colon == std::string_view::npos ? colon : colon - pos);
        if (!entry.empty()) {
            if (auto install = probeIfExists(fs::path(entry) / "java")) return install;
        }
        if (colon == std::string_view::npos) break;
        pos = colon + 1;
    }
    return std::nullopt;
}

std::optional<JavaInstall> JavaFinder::probe(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IXUSR) == 0) return std::nullopt;
    auto text = askJava(path, {"-version"}, false);
    if (!text) return std::nullopt;
    // The quoted text may span lines or carry control bytes, and it goes
    // into log lines: kept in its escaped form.
    JavaInstall install{path, core::common::utf8::escapeForLog(javaVersionIn(*text)),
                        text->find("64-Bit") != std::string::npos};
    if (install.version.empty()) {
        Logger::warn("Could not parse java -version for: " + core::common::utf8::escapeForLog(path));
        return std::nullopt;
    }
    return install;
}

}  // namespace tavo::stampit
