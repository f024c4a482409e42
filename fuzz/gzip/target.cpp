#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "infrastructure/compression/Gzip.h"

namespace gz = tavo::core::infra::compression;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> member = gz::gzipDeterministic(data, size);
    if (member.size() < 20 || member[0] != 0x1F || member[1] != 0x8B || member[2] != 8) std::abort();
    for (size_t i = 3; i < 10; ++i) {
        if (member[i] != 0) std::abort();
    }
    // Inflating the member must give the input back, and nothing after it.
    std::vector<uint8_t> back(size + 1);
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) std::abort();
    zs.next_in = member.data();
    zs.avail_in = static_cast<uInt>(member.size());
    zs.next_out = back.data();
    zs.avail_out = static_cast<uInt>(back.size());
    int rc = inflate(&zs, Z_FINISH);
    size_t produced = zs.total_out;
    uInt left = zs.avail_in;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END || left != 0 || produced != size) std::abort();
    for (size_t i = 0; i < size; ++i) {
        if (back[i] != data[i]) std::abort();
    }
    if (gz::detail::gzipInPieces(data, size, 13) != member) std::abort();
    return 0;
}
