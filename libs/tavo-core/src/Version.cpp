#include "Version.h"

#include "LibraryVersion.h"

namespace tavo::core {

VersionTriple libraryVersion() {
    return {TAVO_CORE_VERSION_MAJOR, TAVO_CORE_VERSION_MINOR, TAVO_CORE_VERSION_PATCH};
}

std::string libraryVersionString() {
    return TAVO_CORE_VERSION_STRING;
}

namespace {

// Reads one part at pos; fails at the digit that takes the value past 65535.
bool readPart(std::string_view text, size_t& pos, uint16_t& out) {
    if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return false;
    uint32_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
        if (value > 65535) return false;
        ++pos;
    }
    out = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

std::optional<VersionTriple> parseVersion(std::string_view text) {
    VersionTriple v;
    size_t pos = 0;
    if (!readPart(text, pos, v.major)) return std::nullopt;
    if (pos >= text.size() || text[pos++] != '.') return std::nullopt;
    if (!readPart(text, pos, v.minor)) return std::nullopt;
    if (pos >= text.size() || text[pos++] != '.') return std::nullopt;
    if (!readPart(text, pos, v.patch)) return std::nullopt;
    if (pos == text.size()) return v;
    if (text[pos++] != '.') return std::nullopt;
    uint16_t build = 0;
    if (!readPart(text, pos, build)) return std::nullopt;
    if (pos != text.size()) return std::nullopt;
    return v;
}

}  // namespace tavo::core
