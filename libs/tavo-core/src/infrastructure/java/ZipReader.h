#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The ZIP archive that carries the applet's native library: walked and
// unpacked within fixed bounds. Pure functions over bytes, no I/O and no
// logging, so that tests and fuzzers reach them directly.
namespace tavo::stampit::formats {

inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodDeflate = 8;
// A library declaring more than this is refused before anything is unpacked:
// the real one is a few megabytes, and the declared size bounds the memory.
inline constexpr std::uint32_t kMaxLibraryBytes = 32u * 1024u * 1024u;
// What one archive may cost in unpacked bytes across all its candidate
// entries: entries that all point at one large blob must not be unpacked
// one after another.
inline constexpr std::uint64_t kMaxUnpackedTotal = 2ull * kMaxLibraryBytes;

// One central directory entry that passed the walk's checks.
struct ZipEntry {
    std::string name;  // as stored
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::size_t dataOffset = 0;  // data lies in [dataOffset, dataOffset + compressedSize)
};

// The entries in directory order; empty when the archive has no end record
// or its directory lies beyond the archive. The walk stops at the first
// header that is malformed or points outside the archive.
std::vector<ZipEntry> listZipEntries(std::span<const std::uint8_t> archive);

// True when the archive reads as a whole ZIP file: its end record is found,
// and every entry it counts lies, header and data, within the archive.
bool zipLooksWhole(std::span<const std::uint8_t> archive);

// "STORED", "DEFLATE" or "?".
const char* methodText(std::uint16_t method);

// Why a matching entry was passed over.
// BudgetSpent ends the search: the entry would take the archive past
// kMaxUnpackedTotal.
enum class EntryRefusal { UnsupportedMethod, TooLarge, InflateFailed, SizeMismatch, CrcMismatch, BudgetSpent };

struct RefusedEntry {
    std::string name;
    EntryRefusal reason = EntryRefusal::UnsupportedMethod;
    std::uint16_t method = 0;
    std::uint32_t declaredSize = 0;
};

struct Extraction {
    std::optional<std::vector<std::uint8_t>> library;  // the first matching entry that unpacked whole
    std::vector<RefusedEntry> refused;                 // matching entries passed over before it, in order
    // Matching entries that repeat one already refused (same data, method,
    // sizes and CRC-32): the same bytes would be refused again.
    std::size_t repeatsSkipped = 0;
};

// Unpacks the first entry whose lower-cased last path component (after "/"
// or "\"), or whole lower-cased name, equals wantedLower. Output never grows
// past the entry's declared size, and it must carry the recorded CRC-32. At
// most kMaxUnpackedTotal bytes are unpacked across all entries tried.
Extraction extractEntry(std::span<const std::uint8_t> archive, std::string_view wantedLower);

}  // namespace tavo::stampit::formats
