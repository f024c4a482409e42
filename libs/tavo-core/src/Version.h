#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavo::core {

struct VersionTriple {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t patch = 0;
    bool operator==(const VersionTriple&) const = default;
};

VersionTriple libraryVersion();
std::string libraryVersionString();

// MAJOR.MINOR.PATCH or MAJOR.MINOR.PATCH.BUILD, each part at most 65535;
// anything else gives no value. BUILD is checked and discarded.
std::optional<VersionTriple> parseVersion(std::string_view text);

}  // namespace tavo::core
