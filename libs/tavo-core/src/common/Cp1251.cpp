#include "common/Cp1251.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace tavo::core::common {
namespace {

// Code points of bytes 0x80..0xFF; 0 marks the one undefined byte (0x98).
constexpr uint16_t kCp1251ToUnicode[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, 0x0410,
    0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D,
    0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A,
    0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444,
    0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};

// UTF-8 bytes of every input byte, computed once: length in [0], bytes after.
struct Utf8Table {
    std::array<std::array<char, 4>, 256> entries{};
    Utf8Table() {
        for (int b = 0; b < 256; ++b) {
            uint32_t cp = b < 0x80 ? static_cast<uint32_t>(b) : kCp1251ToUnicode[b - 0x80];
            auto& e = entries[static_cast<size_t>(b)];
            if (cp == 0) {
                e = {1, '?', 0, 0};
            } else if (cp < 0x80) {
                e = {1, static_cast<char>(cp), 0, 0};
            } else if (cp < 0x800) {
                e = {2, static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F)), 0};
            } else {
                e = {3, static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (cp & 0x3F))};
            }
        }
    }
};

const Utf8Table& table() {
    static const Utf8Table t;
    return t;
}

}  // namespace

std::string Cp1251::ToUtf8(const std::string& bytes) {
    const auto& t = table().entries;
    const unsigned char* begin = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* end = begin + bytes.size();
    size_t length = 0;
    for (const unsigned char* p = begin; p < end; ++p) length += static_cast<unsigned char>(t[*p][0]);
    // Two spare bytes let every character be copied as three bytes.
    std::string out(length + 2, '\0');
    char* o = out.data();
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    for (const unsigned char* p = begin; p < end;) {
        // Eight ASCII bytes without NUL are copied as they are.
        if (end - p >= 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            if (((v | ((v - kOnes) & ~v)) & kHigh) == 0) {
                std::memcpy(o, p, 8);
                o += 8;
                p += 8;
                continue;
            }
        }
        const auto& e = t[*p++];
        std::memcpy(o, e.data() + 1, 3);
        o += static_cast<unsigned char>(e[0]);
    }
    out.resize(length);
    return out;
}

}  // namespace tavo::core::common
