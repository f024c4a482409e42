#include "support/KeychainTestSupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include "common/Base64.h"
#include "support/TempDir.h"

namespace tavo::test {

namespace keychain = platform::keychain;

std::vector<uint8_t> importKeychainIdentity(const IssuedCert& cert, const std::optional<std::string>& tokenId) {
    std::vector<uint8_t> ref;
    keychain::OSStatus status = keychain::importIdentity(readFile(cert.keyFile), cert.certDer, tokenId, &ref);
    EXPECT_EQ(status, keychain::kStatusOk) << "importing " << cert.subject;
    return ref;
}

std::string keychainId(const std::vector<uint8_t>& persistentRef) {
    return core::common::base64::encode(persistentRef.data(), persistentRef.size());
}

ScopedKeychainFailure::ScopedKeychainFailure(keychain::Operation operation, keychain::OSStatus status) {
    keychain::injectFailure(operation, status);
}

ScopedKeychainFailure::~ScopedKeychainFailure() {
    keychain::clearInjectedFailures();
}

int runInChildProcess(int (*fn)(void*), void* arg) {
    fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = 255;
        try {
            code = fn(arg);
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tavo::test
