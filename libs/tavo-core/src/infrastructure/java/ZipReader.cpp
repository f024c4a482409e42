#include "infrastructure/java/ZipReader.h"

#include <zlib.h>

#include <algorithm>

#include "common/Ascii.h"

namespace tavo::stampit::formats {
namespace {

namespace ascii = core::common::ascii;

constexpr std::size_t npos = std::string_view::npos;

std::uint16_t read16(std::span<const std::uint8_t> b, std::uint64_t off) {
    if (off > b.size() || b.size() - off < 2) return 0;
    return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}

std::uint32_t read32(std::span<const std::uint8_t> b, std::uint64_t off) {
    if (off > b.size() || b.size() - off < 4) return 0;
    return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
           (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
}

constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kDirectoryHeader = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::size_t kInflateChunk = 65536;

// Owner of one raw-inflate stream; ended on every path once it started.
class Inflater {
public:
    Inflater() { live_ = inflateInit2(&zs_, -15) == Z_OK; }
    ~Inflater() {
        if (live_) inflateEnd(&zs_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    bool live() const { return live_; }
    z_stream* get() { return &zs_; }

private:
    z_stream zs_{};
    bool live_ = false;
};

// Raw inflate that never produces more than declared + 1 bytes: one byte
// past the declared size already proves the entry lies about it.
std::optional<std::vector<std::uint8_t>> inflateBounded(std::span<const std::uint8_t> data, std::uint32_t declared) {
    Inflater inflater;
    if (!inflater.live()) return std::nullopt;
    z_stream* zs = inflater.get();
    std::vector<std::uint8_t> out;
    out.reserve(declared);
    std::vector<std::uint8_t> chunk(kInflateChunk);
    zs->next_in = const_cast<Bytef*>(data.data());
    zs->avail_in = static_cast<uInt>(data.size());
    const std::size_t limit = static_cast<std::size_t>(declared) + 1;
    for (;;) {
        const std::size_t room = std::min(kInflateChunk, limit - out.size());
        zs->next_out = chunk.data();
        zs->avail_out = static_cast<uInt>(room);
        const int rc = inflate(zs, Z_NO_FLUSH);
        out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(room - zs->avail_out));
        if (out.size() > declared) return std::nullopt;
        if (rc == Z_STREAM_END) return out;
        if (rc != Z_OK) return std::nullopt;
    }
}

std::string_view lastComponent(std::string_view name) {
    std::size_t cut = name.find_last_of("/\\");
    return cut == npos ? name : name.substr(cut + 1);
}

}  // namespace

const char* methodText(std::uint16_t method) {
    if (method == kMethodStored) return "STORED";
    if (method == kMethodDeflate) return "DEFLATE";
    return "?";
}

namespace {

// Offset of the end of central directory record: the highest match within
// the comment window at the archive's end.
std::optional<std::uint64_t> findEndRecord(std::span<const std::uint8_t> archive) {
    const std::uint64_t size = archive.size();
    if (size < 22) return std::nullopt;
    const std::uint64_t highest = size - 22;
    const std::uint64_t lowest = highest > 65535 ? highest - 65535 : 0;
    for (std::uint64_t off = highest + 1; off-- > lowest;)
        if (read32(archive, off) == kEndOfDirectory) return off;
    return std::nullopt;
}

}  // namespace

bool zipLooksWhole(std::span<const std::uint8_t> archive) {
    const std::optional<std::uint64_t> end = findEndRecord(archive);
    if (!end) return false;
    const std::uint64_t dirSize = read32(archive, *end + 12);
    const std::uint64_t dirOffset = read32(archive, *end + 16);
    if (dirOffset + dirSize > *end) return false;
    // The walk stops at the first entry out of bounds: a whole archive
    // yields every entry its end record counts.
    return listZipEntries(archive).size() == read16(archive, *end + 10);
}

std::vector<ZipEntry> listZipEntries(std::span<const std::uint8_t> archive) {
    std::vector<ZipEntry> entries;
    const std::uint64_t size = archive.size();
    const std::optional<std::uint64_t> end = findEndRecord(archive);
    if (!end) return entries;
    const std::uint64_t dirSize = read32(archive, *end + 12);
    const std::uint64_t dirOffset = read32(archive, *end + 16);
    if (dirOffset + dirSize > size) return entries;
    const std::uint64_t dirEnd = dirOffset + dirSize;

    std::uint64_t off = dirOffset;
    while (off + 46 <= dirEnd && read32(archive, off) == kDirectoryHeader) {
        ZipEntry e;
        e.method = read16(archive, off + 10);
        e.crc32 = read32(archive, off + 16);
        e.compressedSize = read32(archive, off + 20);
        e.uncompressedSize = read32(archive, off + 24);
        const std::uint64_t nameLen = read16(archive, off + 28);
        const std::uint64_t extraLen = read16(archive, off + 30);
        const std::uint64_t commentLen = read16(archive, off + 32);
        const std::uint64_t local = read32(archive, off + 42);
        // A name running past the archive ends the walk: nothing is read beyond it.
        if (off + 46 + nameLen > size) break;
        e.name.assign(reinterpret_cast<const char*>(archive.data() + off + 46), nameLen);
        if (local + 30 > size || read32(archive, local) != kLocalHeader) break;
        const std::uint64_t data = local + 30 + read16(archive, local + 26) + read16(archive, local + 28);
        if (data + e.compressedSize > size) break;
        e.dataOffset = static_cast<std::size_t>(data);
        entries.push_back(std::move(e));
        off += 46 + nameLen + extraLen + commentLen;
    }
    return entries;
}

namespace {

// The entry is named as wanted, as a whole or by its last component.
bool isWanted(const ZipEntry& e, std::string_view wantedLower) {
    return ascii::equalsNoCase(lastComponent(e.name), wantedLower) || ascii::equalsNoCase(e.name, wantedLower);
}

// Why the entry is refused from its directory record alone, if it is.
std::optional<EntryRefusal> refusalBeforeReading(const ZipEntry& e) {
    if (e.method != kMethodStored && e.method != kMethodDeflate) return EntryRefusal::UnsupportedMethod;
    if (e.uncompressedSize > kMaxLibraryBytes) return EntryRefusal::TooLarge;
    return std::nullopt;
}

// Two directory records naming the same stored bytes the same way: the
// second would only spend the budget again on what the first produced.
bool sameData(const ZipEntry& a, const ZipEntry& b) {
    return a.dataOffset == b.dataOffset && a.compressedSize == b.compressedSize && a.method == b.method &&
           a.uncompressedSize == b.uncompressedSize && a.crc32 == b.crc32;
}

// The entry's bytes, whole and as its record declares them (size and CRC),
// into bytes; else why they are refused.
std::optional<EntryRefusal> unpack(std::span<const std::uint8_t> archive, const ZipEntry& e,
                                   std::vector<std::uint8_t>& bytes) {
    const auto data = archive.subspan(e.dataOffset, e.compressedSize);
    if (e.method == kMethodStored) {
        if (e.compressedSize != e.uncompressedSize) return EntryRefusal::SizeMismatch;
        bytes.assign(data.begin(), data.end());
    } else {
        std::optional<std::vector<std::uint8_t>> inflated = inflateBounded(data, e.uncompressedSize);
        if (!inflated) return EntryRefusal::InflateFailed;
        if (inflated->size() != e.uncompressedSize) return EntryRefusal::SizeMismatch;
        bytes = std::move(*inflated);
    }
    if (crc32_z(0, bytes.data(), bytes.size()) != e.crc32) return EntryRefusal::CrcMismatch;
    return std::nullopt;
}

}  // namespace

Extraction extractEntry(std::span<const std::uint8_t> archive, std::string_view wantedLower) {
    Extraction result;
    std::uint64_t unpacked = 0;
    std::vector<const ZipEntry*> tried;
    const std::vector<ZipEntry> entries = listZipEntries(archive);
    for (const ZipEntry& e : entries) {
        if (!isWanted(e, wantedLower)) continue;
        RefusedEntry refusal{e.name, EntryRefusal::UnsupportedMethod, e.method, e.uncompressedSize};
        if (std::optional<EntryRefusal> reason = refusalBeforeReading(e)) {
            refusal.reason = *reason;
            result.refused.push_back(std::move(refusal));
            continue;
        }
        if (std::any_of(tried.begin(), tried.end(), [&](const ZipEntry* t) { return sameData(*t, e); })) {
            ++result.repeatsSkipped;
            continue;
        }
        // Inflate stops one byte past the declared size (the byte that
        // proves a lie), so the declared size bounds the cost.
        const std::uint64_t cost = e.uncompressedSize;
        if (cost > kMaxUnpackedTotal - unpacked) {
            refusal.reason = EntryRefusal::BudgetSpent;
            result.refused.push_back(std::move(refusal));
            break;
        }
        unpacked += cost;
        tried.push_back(&e);
        std::vector<std::uint8_t> bytes;
        if (std::optional<EntryRefusal> reason = unpack(archive, e, bytes)) {
            refusal.reason = *reason;
            result.refused.push_back(std::move(refusal));
            continue;
        }
        // Later entries would be walked but never extracted: nothing more to learn.
        result.library = std::move(bytes);
        break;
    }
    return result;
}

}  // namespace tavo::stampit::formats
