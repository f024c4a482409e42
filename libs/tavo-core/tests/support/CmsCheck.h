#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tavo::test {

// The openssl command line as the independent judge of CMS signatures.
struct CmsVerdict {
    bool verified = false;
    std::string output;  // what openssl said
};

// openssl cms -verify -cades -binary -inform DER -content <data> -CAfile <test CA>.
CmsVerdict verifyDetachedCms(const std::vector<uint8_t>& signature, const std::vector<uint8_t>& data);

// Names of the signed attributes of the first signer, in order, as
// openssl cms -cmsout -print names them ("contentType", "signingTime", ...).
std::vector<std::string> signedAttributeNames(const std::vector<uint8_t>& signature);

// The whole print of the structure.
std::string printCms(const std::vector<uint8_t>& signature);

// A raw-sign callback over a software RSA key file (PKCS#1 v1.5 type 1 over
// the DigestInfo it is given), as a token would answer.
std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> softwareRawSign(const std::filesystem::path& keyFile);

}  // namespace tavo::test
