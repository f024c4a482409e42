#pragma once

#include <string>

#include "domain/NapIdentifiers.h"

namespace tavo::core::domain {

// Who files: the identity the active sender of the settings carries into the
// portal session, the form upload and the REST API calls.
struct SenderIdentity {
    std::string identifier;
    NapIdentifierType identifierType = NapIdentifierType::UNKNOWN;
    std::string certificateId;  // opaque; keys the stored PIN and the client certificate
    std::string signerEmail;
    std::string apiKey;

    bool operator==(const SenderIdentity&) const = default;
};

}  // namespace tavo::core::domain
