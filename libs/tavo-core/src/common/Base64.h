#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::core::common::base64 {

// Standard Base64 (RFC 4648) with "=" padding.
std::string encode(const unsigned char* data, size_t length);

// Lenient decoding: every character outside the alphabet is skipped wherever
// it stands, padding is not enforced, trailing partial bits are dropped.
std::vector<uint8_t> decode(std::string_view text);

}  // namespace tavo::core::common::base64
