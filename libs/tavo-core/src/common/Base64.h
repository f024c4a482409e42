#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::core::common::base64 {

// Standard Base64 (RFC 4648) with "=" padding.
std::string encode(const unsigned char* data, size_t length);

// Lenient decoding: every character outside the alphabet is skipped wherever
// it stands, padding is not enforced, trailing partial bits are dropped.
std::vector<uint8_t> decode(std::string_view text);

// Where text stops being Base64 that decode() may read: the offset of the
// first character outside the alphabet that is neither a blank (ASCII white
// space) nor the padding "=", or of an alphabet character after the padding.
// No value when the text is clean. For text from outside that must be a
// document, not quietly nothing.
std::optional<size_t> firstForeignCharacter(std::string_view text);

}  // namespace tavo::core::common::base64
