#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavo::signing {

struct CertificateInfo {
    std::string id;
    std::string subject;
    std::string issuer;
    std::string serial;
    std::string notBefore;
    std::string notAfter;
    bool isHardware = false;
    std::string source;
};

class InvalidPinException : public std::runtime_error {
public:
    InvalidPinException() : std::runtime_error("Грешен PIN код.") {}
};

class SigningCancelledException : public std::runtime_error {
public:
    SigningCancelledException() : std::runtime_error("Подписването беше отказано.") {}
};

// The one abstraction over the user's qualified certificate. Ordinary failures
// give empty results with a log line; only a refused PIN and a cancellation
// are thrown.
class ISigner {
public:
    virtual ~ISigner() = default;

    virtual std::vector<CertificateInfo> listCertificates() = 0;

    // DER of a detached CMS SignedData over data; empty on failure.
    virtual std::vector<uint8_t> signData(const std::vector<uint8_t>& data, const std::string& certificateId,
                                          const std::string& pin) = 0;

    // The portal form upload's entry; goes through the signData slot.
    virtual std::vector<uint8_t> signDataForPortal(const std::vector<uint8_t>& data, const std::string& certificateId,
                                                   const std::string& pin) {
        return signData(data, certificateId, pin);
    }

    virtual bool warmUp(const std::string& certificateId, const std::string& pin) = 0;

    virtual std::vector<uint8_t> getCertificateDer(const std::string& certificateId) = 0;
};

}  // namespace tavo::signing
