#pragma once

#include <string>
#include <string_view>

namespace tavo::core::common {

// Every byte outside the unreserved set (A-Z a-z 0-9 - . _ ~) written as %XX
// with upper-case hex digits, so that a value can never end or extend the
// query of the address it is put into.
std::string percentEncode(std::string_view text);

}  // namespace tavo::core::common
