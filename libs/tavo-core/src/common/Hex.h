#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavo::core::common::hex {

enum class Case { Upper, Lower };

// Two hex digits per byte, in the order given.
std::string encode(const uint8_t* bytes, size_t size, Case letters = Case::Upper);

inline std::string encode(const std::vector<uint8_t>& bytes, Case letters = Case::Upper) {
    return encode(bytes.data(), bytes.size(), letters);
}

}  // namespace tavo::core::common::hex
