#pragma once

#include <memory>
#include <string>

#include "infrastructure/signing/ISigner.h"

namespace tavo::signing {

enum class SignerBackend { Native = 0, Pkcs11 = 1 };

// Picks the one signer of the process.
class SignerFactory {
public:
    // Pkcs11: a PKCS#11 signer on modulePath. Native: a PKCS#11 signer on
    // TAVO_PKCS11_MODULE when that is set and not empty, else the Keychain
    // signer. Never fails: a module that does not load leaves an inert signer.
    static std::unique_ptr<ISigner> create(SignerBackend backend, const std::string& modulePath);
};

}  // namespace tavo::signing
