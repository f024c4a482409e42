#include <cstdint>
#include <cstdlib>
#include <string>

#include "infrastructure/tavocloud/JwtVerifier.h"

using tavo::core::infra::tavocloud::JwtVerifier;

namespace {
constexpr size_t kMaxToken = 8192;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string token(reinterpret_cast<const char*>(data), size < kMaxToken ? size : kMaxToken);
    JwtVerifier::Result r = JwtVerifier::decodeUnverified(token);
    if (r.ok != r.error.empty()) std::abort();
    if (!r.ok && !r.payload.is_null()) std::abort();
    return 0;
}
