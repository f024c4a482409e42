#include "support/StampItRig.h"

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>

#include "common/Paths.h"
#include "support/FakeJava.h"
#include "support/SoftHsmToken.h"

namespace fs = std::filesystem;

namespace tavo::test {
namespace {

// A ZIP file with no entries: only the end-of-central-directory record.
std::string emptyZip() {
    std::string zip = "PK\x05\x06";
    zip.append(18, '\0');
    return zip;
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', from)) {
        parts.push_back(line.substr(from, tab - from));
        from = tab + 1;
    }
    parts.push_back(line.substr(from));
    return parts;
}

}  // namespace

void seedStampItCache() {
    const fs::path root = Paths::stampitRoot();
    fs::create_directories(root / "native");
    fs::create_directories(root / "wrapper");
    for (const char* jar : {"VATClientService.jar", "SignerService.jar", "LSManager.jar"})
        writeFile(root / jar, emptyZip());
    writeFile(root / "native" / "libvatclient.dylib", "not a library");
    fs::copy_file(fs::path(TAVO_TEST_WRAPPER_DIR) / "TavoVatUploader.class", root / "wrapper" / "TavoVatUploader.class",
                  fs::copy_options::overwrite_existing);
}

void keepSoftHsmLoaded() {
    static void* handle = ::dlopen(SoftHsmToken::modulePath().c_str(), RTLD_NOW | RTLD_NODELETE);
    if (!handle) throw std::runtime_error("cannot load the SoftHSM module");
}

UseJdk17::UseJdk17() : javaHome_("JAVA_HOME", nullptr) {
    std::string java = installedJdk17Java();
    if (java.empty()) throw std::runtime_error("OpenJDK 17 is not installed");
    ::setenv("JAVA_HOME", fs::path(java).parent_path().parent_path().c_str(), 1);
}

WrapperScenario::WrapperScenario(const std::vector<std::string>& commands) : dir_("tavo-wrapper") {
    std::string text;
    for (const std::string& c : commands) text += c + "\n";
    writeFile(dir_ / "scenario.txt", text);
    scenario_ = std::make_unique<ScopedEnv>("TAVO_WRAPPER_SCENARIO", (dir_ / "scenario.txt").c_str());
    record_ = std::make_unique<ScopedEnv>("TAVO_WRAPPER_RECORD", (dir_ / "record.txt").c_str());
}

WrapperRecord WrapperScenario::record() const {
    WrapperRecord rec;
    const std::string text = readFile(dir_ / "record.txt");
    size_t from = 0;
    while (from < text.size()) {
        size_t lf = text.find('\n', from);
        if (lf == std::string::npos) lf = text.size();
        auto parts = splitTabs(text.substr(from, lf - from));
        from = lf + 1;
        if (parts[0] == "ARG" && parts.size() == 2) rec.args.push_back(parts[1]);
        if (parts[0] == "STDIN" && parts.size() == 2) rec.firstInputLine = parts[1];
        if (parts[0] == "SIGN" && parts.size() == 3) rec.exchanges.push_back({parts[1], parts[2]});
    }
    return rec;
}

}  // namespace tavo::test
