#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavo::core::infra::compression {

// One gzip member whose bytes depend only on the input: zlib level 9, and a
// header without time stamp, level hint or operating system
// (1F 8B 08 00 00 00 00 00 00 00). Empty on failure; never throws.
std::vector<uint8_t> gzipDeterministic(const unsigned char* data, size_t length);

namespace detail {
// The same, handing zlib at most maxPiece bytes of input and of output per
// call; gzipDeterministic uses zlib's own limit (4 GiB - 1). Exposed so tests
// can run the piecewise path on small buffers.
std::vector<uint8_t> gzipInPieces(const unsigned char* data, size_t length, size_t maxPiece);
}  // namespace detail

}  // namespace tavo::core::infra::compression
