#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tavo::core::infra::tavocloud {

// Checks the cloud service's RS256 submission tokens (compact JWS). The
// claims are the caller's business; this only vouches for the signature.
class JwtVerifier {
public:
    // The checker reads nlohmann::json's members as throwing; its moves do not.
    struct Result {  // NOLINT(bugprone-exception-escape)
        bool ok = false;
        std::string error;  // short English reason when ok is false
        // Filled as soon as the payload parses, so it may be unverified when
        // a later step fails: read it only when ok is true.
        nlohmann::json payload;
    };

    // Never throws and never logs (tokens are secrets).
    static Result verify(const std::string& token, const std::string& publicKeyPem);
    static Result decodeUnverified(const std::string& token);
};

}  // namespace tavo::core::infra::tavocloud
