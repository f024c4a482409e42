#pragma once

#include <string>
#include <string_view>

// Secrets a remote party may echo back, masked before the text is logged or
// handed on.
namespace tavo::core::common::secrets {

inline constexpr std::string_view kMask = "***";

// The text with every occurrence of the secret replaced by kMask, also where
// it was written back inside a JSON string or percent-encoded; an empty
// secret changes nothing.
std::string maskSecret(std::string_view text, std::string_view secret);

// The text with the credential after every "Bearer" (any letter case,
// followed by blanks) replaced by kMask: what a gateway echoes of an
// Authorization header. The credential ends at a blank, a quote, a backslash
// or a separator of the text around it (< > , ; & ) ] }).
std::string maskBearerTokens(std::string_view text);

}  // namespace tavo::core::common::secrets
