#include "infrastructure/security/CryptoStore.h"

#include <exception>
#include <string_view>

#include "common/Base64.h"
#include "common/Logger.h"

namespace tavo::security {
namespace {

constexpr std::string_view kKeychainPrefix = "keychain:";
constexpr std::string_view kDpapiPrefix = "dpapi:";
constexpr std::string_view kPlainPrefix = "plain:";

}  // namespace

bool CryptoStore::isToken(const std::string& text) {
    return text.starts_with(kDpapiPrefix) || text.starts_with(kKeychainPrefix) || text.starts_with(kPlainPrefix);
}

// Allocation is the one thing that can fail here; it fails the call, never the caller.
std::optional<std::string> CryptoStore::encrypt(const std::string& value) {
    if (value.empty()) return std::string();
    try {
        return std::string(kKeychainPrefix) +
               core::common::base64::encode(reinterpret_cast<const unsigned char*>(value.data()), value.size());
    } catch (const std::exception& e) {
        Logger::error(std::string("CryptoStore::encrypt: ") + e.what());
        return std::nullopt;
    }
}

std::optional<std::string> CryptoStore::decrypt(const std::string& text) {
    if (text.empty()) return std::string();
    if (!isToken(text)) return text;
    if (!text.starts_with(kKeychainPrefix)) {
        Logger::warn("CryptoStore: cannot decrypt non-keychain token on macOS");
        return std::nullopt;
    }
    try {
        auto bytes = core::common::base64::decode(std::string_view(text).substr(kKeychainPrefix.size()));
        return std::string(bytes.begin(), bytes.end());
    } catch (const std::exception& e) {
        Logger::error(std::string("CryptoStore::decrypt: ") + e.what());
        return std::nullopt;
    }
}

}  // namespace tavo::security
