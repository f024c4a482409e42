#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "infrastructure/signing/ISigner.h"

namespace tavo::signing {

// The signer over Keychain identities: a certificate with its private key,
// in the Keychain or on a token exposed through it. Stateless: everything is
// looked up per call. The Keychain, not the signer, asks for access, so the
// pin arguments are not used.
class SignerMac : public ISigner {
public:
    SignerMac() = default;
    ~SignerMac() override = default;

    std::vector<CertificateInfo> listCertificates() override;
    std::vector<uint8_t> signData(const std::vector<uint8_t>& data, const std::string& certificateId,
                                  const std::string& pin) override;
    bool warmUp(const std::string& certificateId, const std::string& pin) override;
    std::vector<uint8_t> getCertificateDer(const std::string& certificateId) override;
};

}  // namespace tavo::signing
