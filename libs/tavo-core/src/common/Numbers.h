#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavo::core::common {

// The leading base-10 integer the way std::stoi reads it, without its
// exceptions or the process locale: blanks (space, TAB, LF, CR, VT, FF)
// skipped, an optional sign, trailing text ignored. No value when there are
// no digits or the number does not fit in 32 bits.
std::optional<int32_t> leadingInt(std::string_view text);

}  // namespace tavo::core::common
