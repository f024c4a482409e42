#pragma once

#include <optional>
#include <string>

namespace tavo::security {

// The token form of secret settings values. "keychain:" tokens hold the
// Base64 of the value (an encoding, not a cipher); "dpapi:" and "plain:"
// tokens written elsewhere are recognised but cannot be read here.
class CryptoStore {
public:
    static bool isToken(const std::string& text);
    // Always holds a value here; an empty value gives an empty text.
    static std::optional<std::string> encrypt(const std::string& value);
    // A text that is not a token comes back unchanged; nothing for a token
    // that cannot be read.
    static std::optional<std::string> decrypt(const std::string& text);
};

}  // namespace tavo::security
