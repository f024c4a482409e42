#include "infrastructure/compression/Gzip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "common/Logger.h"

namespace tavo::core::infra::compression {
namespace {

struct DeflateEnd {
    void operator()(z_stream* s) const noexcept { deflateEnd(s); }
};
using DeflateGuard = std::unique_ptr<z_stream, DeflateEnd>;

constexpr size_t kZlibMaxPiece = std::numeric_limits<uInt>::max();

}  // namespace

namespace detail {

std::vector<uint8_t> gzipInPieces(const unsigned char* data, size_t length, size_t maxPiece) {
    if (length > 0 && data == nullptr) return {};
    maxPiece = std::clamp<size_t>(maxPiece, 1, kZlibMaxPiece);
    try {
        z_stream zs{};
        if (deflateInit2(&zs, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            Logger::warn("gzipDeterministic: deflateInit2 failed");
            return {};
        }
        DeflateGuard guard(&zs);
        std::vector<uint8_t> out(deflateBound(&zs, static_cast<uLong>(length)) + 16);

        // zlib counts in 32-bit units: larger buffers go in pieces. Below that
        // limit this is one deflate call with Z_FINISH over everything.
        size_t inPos = 0;
        size_t outPos = 0;
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            size_t inPiece = std::min(length - inPos, maxPiece);
            size_t outPiece = std::min(out.size() - outPos, maxPiece);
            zs.next_in = const_cast<Bytef*>(data + inPos);
            zs.avail_in = static_cast<uInt>(inPiece);
            zs.next_out = out.data() + outPos;
            zs.avail_out = static_cast<uInt>(outPiece);
            int flush = inPos + inPiece == length ? Z_FINISH : Z_NO_FLUSH;
            rc = deflate(&zs, flush);
            size_t consumed = inPiece - zs.avail_in;
            size_t produced = outPiece - zs.avail_out;
            inPos += consumed;
            outPos += produced;
            // The output holds zlib's bound, so a call without progress means
            // the stream cannot end.
            if ((rc != Z_OK && rc != Z_STREAM_END) || (rc == Z_OK && consumed == 0 && produced == 0)) {
                Logger::warn("gzipDeterministic: deflate did not finish (" + std::to_string(rc) + ")");
                return {};
            }
        }
        out.resize(outPos);
        // Time stamp, extra flags and operating system: fixed for identical output.
        if (out.size() >= 10) std::fill(out.begin() + 4, out.begin() + 10, uint8_t{0});
        return out;
    } catch (const std::bad_alloc&) {
        Logger::warn("gzipDeterministic: out of memory for " + std::to_string(length) + " bytes");
        return {};
    }
}

}  // namespace detail

std::vector<uint8_t> gzipDeterministic(const unsigned char* data, size_t length) {
    return detail::gzipInPieces(data, length, kZlibMaxPiece);
}

}  // namespace tavo::core::infra::compression
