#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <span>

#include "infrastructure/java/ZipReader.h"

namespace formats = tavo::stampit::formats;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> archive(data, size);
    const auto entries = formats::listZipEntries(archive);
    for (const auto& e : entries) {
        if (e.dataOffset > size || size - e.dataOffset < e.compressedSize) std::abort();
    }
    // A whole archive yields at least one entry unless its end record counts none.
    if (formats::zipLooksWhole(archive) && entries.empty() && size >= 22) {
        bool countsNone = false;
        for (size_t off = size - 22 + 1; off-- > 0 && !countsNone;)
            countsNone = data[off] == 0x50 && data[off + 1] == 0x4b && data[off + 2] == 5 && data[off + 3] == 6 &&
                         data[off + 10] == 0 && data[off + 11] == 0;
        if (!countsNone) std::abort();
    }
    const auto x = formats::extractEntry(archive, "libvatclient.dylib");
    if (x.library) {
        // Whatever comes out is whole: within the limit and carrying the recorded CRC.
        if (x.library->size() > formats::kMaxLibraryBytes) std::abort();
        bool recorded = false;
        const uLong crc = crc32_z(0, x.library->data(), x.library->size());
        for (const auto& e : entries)
            recorded = recorded || (e.crc32 == crc && e.uncompressedSize == x.library->size());
        if (!recorded) std::abort();
    }
    return 0;
}
