#pragma once

#include <cstdint>
#include <string>

#include "domain/NapIdentifiers.h"

namespace tavo::core::domain {

// One entry of the portal's taxpayer list.
struct TaxpayerInfo {
    std::string name;
    std::string pin;  // EIK or personal number; the requested EIK is matched against it
    NapIdentifierType pinType = NapIdentifierType::UNKNOWN;
    int64_t tin = 0;  // the portal's internal number, sent by the taxpayer select
    std::string email;
    std::string authorization;
    bool active = false;
};

}  // namespace tavo::core::domain
