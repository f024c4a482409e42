#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Keychain.h"
#include "platform/KeychainTesting.h"
#include "support/TestPki.h"

namespace tavo::test {

// Imports the certificate and its software key into the Keychain layer as an
// identity (on a token when tokenId is given); returns its persistent
// reference and fails the test when the layer refuses.
std::vector<uint8_t> importKeychainIdentity(const IssuedCert& cert, const std::optional<std::string>& tokenId = {});

// Base64 of a persistent reference: the id a Keychain signer hands out.
std::string keychainId(const std::vector<uint8_t>& persistentRef);

// Makes one Keychain operation fail with status for the rest of the scope.
class ScopedKeychainFailure {
public:
    ScopedKeychainFailure(platform::keychain::Operation operation, platform::keychain::OSStatus status);
    ~ScopedKeychainFailure();
    ScopedKeychainFailure(const ScopedKeychainFailure&) = delete;
    ScopedKeychainFailure& operator=(const ScopedKeychainFailure&) = delete;
};

// Runs fn in a forked child process and returns its exit status (fn's result
// or 255 when it threw); the child never returns into the test.
int runInChildProcess(int (*fn)(void*), void* arg);

}  // namespace tavo::test
