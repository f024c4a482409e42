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

// The same for 64 bits, the way std::stoll reads it.
std::optional<int64_t> leadingInt64(std::string_view text);

// Blanks skipped, then unsigned digits: no value when a sign or anything else
// comes first (so "-1" never wraps around to a huge number), or the number
// does not fit in 64 bits.
std::optional<uint64_t> leadingUnsigned64(std::string_view text);

}  // namespace tavo::core::common
