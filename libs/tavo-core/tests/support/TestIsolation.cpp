#include "support/TestIsolation.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "domain/NapSessionTesting.h"
#include "infrastructure/http/Pkcs11EngineTesting.h"
#include "infrastructure/http/TestSeamTesting.h"
#include "operations/OperationRegistry.h"
#include "operations/OperationRegistryTesting.h"
#include "platform/JavaHomeTesting.h"
#include "platform/KeychainTesting.h"
#include "support/FaultModule.h"
#include "support/Pauses.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

namespace tavo::test {
namespace {

// C_Finalize of a module this process has loaded; one never loaded is left
// alone.
void finaliseIfLoaded(const std::string& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr) return;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST* list = nullptr;
    if (getList != nullptr && getList(&list) == CKR_OK && list != nullptr) list->C_Finalize(nullptr);
    ::dlclose(handle);
}

// SoftHSM keeps one state per process, whoever initialised it (a signer, the
// engine's libp11, the fault module that wraps it): one C_Finalize ends it.
// The fault module first, which forgets its sessions as it passes the call
// on (SoftHSM numbers the next test's sessions from the start again).
void finaliseCardModules() {
    finaliseIfLoaded(FaultModule::path());
    finaliseIfLoaded(SoftHsmToken::modulePath());
}

class PerTestIsolation : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override {
        workingFolder_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const char* home = std::getenv("HOME");
        processHome_ = home == nullptr ? "" : home;
        home_ = std::make_unique<TempDir>("tavo-home");
        ::setenv("HOME", home_->str().c_str(), 1);
        clearRecordedPauses();
        registered_.clear();
        for (const auto& entry : core::operations::OperationRegistry::instance().listAll())
            registered_.push_back(entry.typeId);
    }

    void OnTestEnd(const ::testing::TestInfo&) override {
        // The engine first: no instance that knew the old tokens may be
        // used once the module is finalised below.
        core::infra::http::testing::resetPkcs11Engine();
        finaliseCardModules();
        core::domain::testing::forgetPortalCaches();
        core::infra::http::testing::forgetSeamWarnings();
        core::operations::testing::forgetRegistrationsOtherThan(registered_);
        platform::keychain::clearInjectedFailures();
        platform::setJavaHomeSourceForTesting(nullptr);
        ::setenv("HOME", processHome_.c_str(), 1);
        home_.reset();
        // A test that moved into a folder of its own (removed with it) would
        // leave every later child without a working folder.
        if (workingFolder_ >= 0) {
            if (::fchdir(workingFolder_) != 0) ADD_FAILURE() << "the working folder could not be restored";
            ::close(workingFolder_);
            workingFolder_ = -1;
        }
    }

private:
    int workingFolder_ = -1;
    std::vector<std::string> registered_;
    std::string processHome_;
    std::unique_ptr<TempDir> home_;
};

}  // namespace

void installPerTestIsolation() {
    // Owned by gtest's listener list from here on.
    ::testing::UnitTest::GetInstance()->listeners().Append(new PerTestIsolation);
}

}  // namespace tavo::test
