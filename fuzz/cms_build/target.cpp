#include <cstdint>
#include <cstdlib>
#include <vector>

#include "infrastructure/signing/CmsBuilder.h"

using tavo::signing::CmsBuilder;

// Input: two bytes of callback answer length (big-endian), one byte of
// flags, then the certificate bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const size_t answerLength = (static_cast<size_t>(data[0]) << 8) | data[1];
    const bool addV2 = (data[2] & 1) != 0;
    const uint8_t fill = data[2];
    std::vector<uint8_t> cert(data + 3, data + size);
    std::vector<uint8_t> content = {'t', 'a', 'v', 'o'};
    int calls = 0;
    auto out = CmsBuilder::buildDetached(
        content, cert,
        [&](const std::vector<uint8_t>& digestInfo) {
            ++calls;
            if (digestInfo.size() != 51) std::abort();
            return std::vector<uint8_t>(answerLength, fill);
        },
        addV2);
    if (calls > 1) std::abort();
    if (!out.empty() && (calls != 1 || out[0] != 0x30)) std::abort();
    return 0;
}
