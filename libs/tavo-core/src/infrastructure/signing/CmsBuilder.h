#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace tavo::signing {

// Detached CMS SignedData (SHA-256, RSA PKCS#1 v1.5) whose private operation
// is handed to a callback, so that the key never leaves its token.
class CmsBuilder {
public:
    // Receives the DER DigestInfo (51 bytes for SHA-256) and answers its
    // PKCS#1 v1.5 type-1 signature; empty means failure. Must not throw.
    using RawSign = std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)>;

    // DER of the ContentInfo, or empty on failure (logged).
    static std::vector<uint8_t> buildDetached(const std::vector<uint8_t>& data, const std::vector<uint8_t>& certDer,
                                              RawSign rawSign, bool addSigningCertV2);
};

}  // namespace tavo::signing
