#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "infrastructure/signing/ISigner.h"

namespace tavo::signing {

// A certificate id taken apart: "<slot in decimal>:<CKA_ID in hex>".
struct CertId {
    unsigned long slot = 0;
    std::vector<uint8_t> id;  // no bytes: the id is invalid

    bool valid() const { return !id.empty(); }
    // The id text as listings print it (hex upper case).
    std::string text() const;

    static CertId parse(const std::string& id);
};

// The signer over a smart card reached through a PKCS#11 module loaded by
// path. A signer whose module fails to load stays inert: every operation
// gives an empty result or false.
class SignerPkcs11 : public ISigner {
public:
    explicit SignerPkcs11(const std::string& modulePath);
    ~SignerPkcs11() override;
    SignerPkcs11(const SignerPkcs11&) = delete;
    SignerPkcs11& operator=(const SignerPkcs11&) = delete;

    std::vector<CertificateInfo> listCertificates() override;
    std::vector<uint8_t> signData(const std::vector<uint8_t>& data, const std::string& certificateId,
                                  const std::string& pin) override;
    bool warmUp(const std::string& certificateId, const std::string& pin) override;
    std::vector<uint8_t> getCertificateDer(const std::string& certificateId) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavo::signing
