#include "common/Hex.h"

namespace tavo::core::common::hex {

std::string encode(const uint8_t* bytes, size_t size, Case letters) {
    const char* digits = letters == Case::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
    return out;
}

}  // namespace tavo::core::common::hex
