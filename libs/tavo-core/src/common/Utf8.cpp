#include "common/Utf8.h"

#include <cstdint>
#include <cstdio>

namespace tavo::core::common::utf8 {
namespace {

// Length of the valid UTF-8 sequence starting at p[0] (1..4), or 0 when the
// bytes there do not form one (overlong forms and surrogates included).
size_t sequenceLength(const unsigned char* p, size_t avail) {
    unsigned char c = p[0];
    if (c < 0x80) return 1;
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (avail < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
    if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
    return len;
}

}  // namespace

bool isValid(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        size_t len = sequenceLength(p + i, n - i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string cut(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    size_t end = maxBytes;
    // Step back over at most three continuation bytes to the lead byte, and
    // drop that character when it does not fit whole.
    size_t back = 0;
    while (end > 0 && back < 3 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
        ++back;
    }
    return std::string(text.substr(0, end));
}

std::string makeValid(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    std::string out;
    out.reserve(n);
    while (i < n) {
        if (p[i] < 0x80) {
            out.push_back(static_cast<char>(p[i++]));
            continue;
        }
        size_t len = sequenceLength(p + i, n - i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(reinterpret_cast<const char*>(p + i), len);
            i += len;
        }
    }
    return out;
}

std::string escapeForLog(std::string_view text) {
    std::string valid = makeValid(text);
    std::string out;
    out.reserve(valid.size());
    for (unsigned char c : valid) {
        if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

}  // namespace tavo::core::common::utf8
