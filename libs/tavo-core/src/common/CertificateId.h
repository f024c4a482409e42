#pragma once

#include <string_view>

#include "common/Ascii.h"

// The forms a certificate id takes in the settings and the signers.
namespace tavo::core::common::certid {

// "<slot digits>:<even number of hex digits>", the PKCS#11 signer's form.
constexpr bool isSlotAndKeyId(std::string_view id) {
    const size_t colon = id.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i)
        if (!ascii::isDigit(id[i])) return false;
    const std::string_view hex = id.substr(colon + 1);
    if (hex.empty() || hex.size() % 2 != 0) return false;
    for (char c : hex)
        if (!ascii::isHexDigit(c)) return false;
    return true;
}

// A certificate on a smart card (slot and key id, or a "pkcs11:" URI): its
// key is reached only with the card's PIN. Anything else names an identity of
// the OS keystore.
constexpr bool isSmartCard(std::string_view id) {
    return id.substr(0, 7) == "pkcs11:" || isSlotAndKeyId(id);
}

}  // namespace tavo::core::common::certid
