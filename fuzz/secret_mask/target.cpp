#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/PercentEncode.h"
#include "common/Secrets.h"

namespace secrets = tavo::core::common::secrets;

// The first byte gives the secret's length, the secret follows, the rest is
// a server's text. A secret without '*' never survives its mask, as sent or
// percent-encoded (the mask itself cannot form one), and masking bearer
// credentials twice changes nothing more.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t secretLength = 0;
    if (!input.empty()) {
        secretLength = static_cast<unsigned char>(input.front()) % 32;
        input.remove_prefix(1);
    }
    secretLength = std::min(secretLength, input.size());
    const std::string_view secret = input.substr(0, secretLength);
    const std::string_view text = input.substr(secretLength);

    const std::string masked = secrets::maskSecret(text, secret);
    if (!secret.empty() && secret.find('*') == std::string_view::npos &&
        (masked.find(secret) != std::string::npos ||
         masked.find(tavo::core::common::percentEncode(secret)) != std::string::npos))
        std::abort();
    const std::string once = secrets::maskBearerTokens(masked);
    if (secrets::maskBearerTokens(once) != once) std::abort();
    return 0;
}
