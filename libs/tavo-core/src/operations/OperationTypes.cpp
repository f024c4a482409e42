#include "operations/OperationTypes.h"

#include <array>

namespace tavo::core::operations {
namespace {

constexpr std::array<const char*, 8> kAuthSchemeNames = {
    "unknown",          "none", "pls-signature", "nap-portal-session", "nap-api-key", "stampit-cert-email", "pik-login",
    "local-kep-consent"};

constexpr std::array<const char*, 5> kChannelNames = {"unknown", "pls-legacy", "nap-rest-api", "stamp-it", "browser"};

constexpr std::array<const char*, 9> kParameterTypeNames = {"string", "integer", "decimal", "date", "month",
                                                            "year",   "boolean", "eik",     "enum"};

}  // namespace

const char* toString(ParameterType type) {
    auto code = static_cast<uint32_t>(type);
    return code < kParameterTypeNames.size() ? kParameterTypeNames[code] : "string";
}

const char* toString(AuthScheme scheme) {
    auto code = static_cast<uint32_t>(scheme);
    return code >= 1 && code < kAuthSchemeNames.size() ? kAuthSchemeNames[code] : "unknown";
}

AuthScheme authSchemeFromString(const std::string& text) {
    for (uint32_t code = 1; code < kAuthSchemeNames.size(); ++code) {
        if (text == kAuthSchemeNames[code]) return static_cast<AuthScheme>(code);
    }
    return AuthScheme::Unknown;
}

const char* toString(SubmissionChannel channel) {
    auto code = static_cast<uint32_t>(channel);
    return code >= 1 && code < kChannelNames.size() ? kChannelNames[code] : "unknown";
}

SubmissionChannel submissionChannelFromString(const std::string& text) {
    for (uint32_t code = 1; code < kChannelNames.size(); ++code) {
        if (text == kChannelNames[code]) return static_cast<SubmissionChannel>(code);
    }
    return SubmissionChannel::Unknown;
}

}  // namespace tavo::core::operations
