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
    return 0;
}
