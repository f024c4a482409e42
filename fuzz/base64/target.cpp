#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/Base64.h"

namespace b64 = tavo::core::common::base64;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Lenient decoding of anything, then the round trip must hold.
    auto bytes = b64::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    std::string text = b64::encode(bytes.data(), bytes.size());
    if (b64::decode(text) != bytes) std::abort();
    std::string direct = b64::encode(data, size);
    auto back = b64::decode(direct);
    if (back.size() != size || (size && std::memcmp(back.data(), data, size) != 0)) std::abort();
    // What encode writes is clean; a foreign character found is one that
    // really is outside the alphabet, or data after the padding.
    if (b64::firstForeignCharacter(direct)) std::abort();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (auto at = b64::firstForeignCharacter(input)) {
        if (*at >= size) std::abort();
        const char c = input[*at];
        const bool alphabet =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (alphabet && input.substr(0, *at).find('=') == std::string_view::npos) std::abort();
        if (c == '=' || c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f') std::abort();
    }
    return 0;
}
