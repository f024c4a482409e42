// Line-end normalisation of a file before upload: afterwards every CR is
// followed by LF and every LF preceded by CR, and the other bytes keep their
// order.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "operations/PlsSubmissionExecutor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    tavo::core::operations::upload::normaliseLineEnds(bytes);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && (i + 1 >= bytes.size() || bytes[i + 1] != '\n')) std::abort();
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) std::abort();
    }
    size_t skip = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
    std::vector<uint8_t> others, kept;
    for (size_t i = skip; i < size; ++i)
        if (data[i] != '\r' && data[i] != '\n') others.push_back(data[i]);
    for (uint8_t b : bytes)
        if (b != '\r' && b != '\n') kept.push_back(b);
    if (others != kept) std::abort();
    return 0;
}
