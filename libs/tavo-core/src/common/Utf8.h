#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavo::core::common::utf8 {

bool isValid(std::string_view text);

// The longest prefix of at most maxBytes bytes that does not end inside a
// multi-byte character (for valid input: valid UTF-8 again).
std::string cut(std::string_view text, size_t maxBytes);

// Invalid bytes replaced by U+FFFD; valid input is returned byte for byte.
std::string makeValid(std::string_view text);

// Text from outside made safe for one log line: control characters (CR, LF,
// tab, ESC ...) written as \xNN escapes, invalid UTF-8 replaced.
std::string escapeForLog(std::string_view text);

}  // namespace tavo::core::common::utf8
