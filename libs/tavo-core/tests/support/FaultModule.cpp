#include "support/FaultModule.h"

#include <fstream>
#include <sstream>

#include "support/SoftHsmToken.h"

namespace tavo::test {

FaultModule::FaultModule() : dir_("tavo-fault") {
    env_.push_back(std::make_unique<ScopedEnv>("TAVO_FAULT_TARGET", SoftHsmToken::modulePath().c_str()));
    env_.push_back(std::make_unique<ScopedEnv>("TAVO_FAULT_COUNTS", (dir_ / "counts").c_str()));
    for (const char* v :
         {"TAVO_FAULT_INITIALIZE_RV", "TAVO_FAULT_OPEN_SESSION_RV", "TAVO_FAULT_LOGIN_RV", "TAVO_FAULT_SIGN_LENGTH",
          "TAVO_FAULT_SIGN_LENGTH_RV", "TAVO_FAULT_ATTRIBUTE_LENGTH", "TAVO_FAULT_REMOVALS", "TAVO_FAULT_TOKEN_ABSENT"})
        env_.push_back(std::make_unique<ScopedEnv>(v, nullptr));
}

FaultModule::~FaultModule() {
    // Restored in reverse order, so a variable set twice ends as it began.
    while (!env_.empty()) env_.pop_back();
}

std::string FaultModule::path() {
    return TAVO_FAULT_MODULE_PATH;
}

void FaultModule::inject(const std::string& variable, const std::string& value) {
    env_.push_back(std::make_unique<ScopedEnv>(variable, value.c_str()));
}

void FaultModule::pullCard() {
    inject("TAVO_FAULT_REMOVALS", std::to_string(++removals_));
    inject("TAVO_FAULT_TOKEN_ABSENT", "1");
}

void FaultModule::putCardBack() {
    clear("TAVO_FAULT_TOKEN_ABSENT");
}

void FaultModule::clear(const std::string& variable) {
    env_.push_back(std::make_unique<ScopedEnv>(variable, nullptr));
}

std::map<std::string, std::string> FaultModule::read() const {
    std::map<std::string, std::string> out;
    std::istringstream in(readFile(dir_ / "counts"));
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

unsigned long FaultModule::count(const std::string& name) const {
    auto all = read();
    auto it = all.find(name);
    return it == all.end() ? 0 : std::stoul(it->second);
}

std::string FaultModule::batches() const {
    auto all = read();
    auto it = all.find("findObjects");
    return it == all.end() ? std::string() : it->second;
}

}  // namespace tavo::test
