#include "common/Base64.h"

#include <array>
#include <cstring>
#include <mutex>

#include "common/Ascii.h"

namespace tavo::core::common::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const std::array<int32_t, 256>& reverseTable() {
    static std::array<int32_t, 256> table;
    static std::once_flag once;
    std::call_once(once, [] {
        table.fill(-1);
        for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    });
    return table;
}

// The two characters of every 12-bit value, so a group of three bytes needs
// two lookups instead of four.
const std::array<std::array<char, 2>, 4096>& pairTable() {
    static const auto table = [] {
        std::array<std::array<char, 2>, 4096> t{};
        for (size_t v = 0; v < 4096; ++v) t[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
        return t;
    }();
    return table;
}

}  // namespace

std::string encode(const unsigned char* data, size_t length) {
    std::string out;
    if (length == 0 || data == nullptr) return out;
    out.resize(((length + 2) / 3) * 4);
    char* o = out.data();
    const auto& pairs = pairTable();
    size_t i = 0;
    // Six bytes per step from one 64-bit load (eight readable bytes needed):
    // four 12-bit quarters, two characters each.
    for (; i + 8 <= length; i += 6) {
        uint64_t w;
        std::memcpy(&w, data + i, 8);
        w = __builtin_bswap64(w);
        std::memcpy(o, pairs[(w >> 52) & 0xFFF].data(), 2);
        std::memcpy(o + 2, pairs[(w >> 40) & 0xFFF].data(), 2);
        std::memcpy(o + 4, pairs[(w >> 28) & 0xFFF].data(), 2);
        std::memcpy(o + 6, pairs[(w >> 16) & 0xFFF].data(), 2);
        o += 8;
    }
    // Whole groups of three bytes: two 12-bit halves, two characters each.
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | uint32_t(data[i + 2]);
        std::memcpy(o, pairs[v >> 12].data(), 2);
        std::memcpy(o + 2, pairs[v & 0xFFF].data(), 2);
        o += 4;
    }
    size_t rest = length - i;
    if (rest == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (rest == 2) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    return out;
}

std::vector<uint8_t> decode(std::string_view text) {
    const auto& table = reverseTable();
    std::vector<uint8_t> out;
    out.reserve((text.size() / 4) * 3 + 3);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    uint32_t acc = 0;
    int bits = 0;
    while (i < n) {
        // Fast path: four alphabet characters on a byte boundary give three bytes.
        if (bits == 0 && i + 4 <= n) {
            int32_t a = table[p[i]], b = table[p[i + 1]], c = table[p[i + 2]], d = table[p[i + 3]];
            if ((a | b | c | d) >= 0) {
                uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
                out.push_back(static_cast<uint8_t>(v >> 16));
                out.push_back(static_cast<uint8_t>(v >> 8));
                out.push_back(static_cast<uint8_t>(v));
                i += 4;
                continue;
            }
        }
        int32_t v = table[p[i++]];
        if (v < 0) continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
            acc &= (1u << bits) - 1u;
        }
    }
    return out;
}

std::optional<size_t> firstForeignCharacter(std::string_view text) {
    const auto& table = reverseTable();
    bool padded = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (ascii::isSpace(c)) continue;
        if (c == '=') {
            padded = true;
            continue;
        }
        if (padded || table[static_cast<unsigned char>(c)] < 0) return i;
    }
    return std::nullopt;
}

}  // namespace tavo::core::common::base64
