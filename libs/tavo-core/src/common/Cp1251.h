#pragma once

#include <string>

namespace tavo::core::common {

// Windows-1251 text of the agency's files to UTF-8.
class Cp1251 {
public:
    // Bytes 0x00 and the undefined 0x98 become "?"; never fails.
    static std::string ToUtf8(const std::string& bytes);
};

}  // namespace tavo::core::common
