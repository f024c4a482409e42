#include "infrastructure/signing/SignerFactory.h"

#include <cstdlib>

#include "common/Logger.h"
#include "infrastructure/signing/SignerMac.h"
#include "infrastructure/signing/SignerPkcs11.h"

namespace tavo::signing {

std::unique_ptr<ISigner> SignerFactory::create(SignerBackend backend, const std::string& modulePath) {
    if (backend == SignerBackend::Pkcs11) return std::make_unique<SignerPkcs11>(modulePath);
    const char* fromEnvironment = std::getenv("TAVO_PKCS11_MODULE");
    if (fromEnvironment && *fromEnvironment) {
        std::string path = fromEnvironment;
        Logger::info("SignerFactory: TAVO_PKCS11_MODULE set, using PKCS#11 signer (" + path + ")");
        return std::make_unique<SignerPkcs11>(path);
    }
    // The Keychain signer, here over our own Keychain layer.
    return std::make_unique<SignerMac>();
}

}  // namespace tavo::signing
