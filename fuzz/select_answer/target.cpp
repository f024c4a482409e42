#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "domain/PortalAnswers.h"

namespace d = tavo::core::domain;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto reading = d::readSelectAnswer(std::string_view(reinterpret_cast<const char*>(data), size));
    // An out-of-range tin is read as 0, never as a wrapped value.
    if (reading.taxpayer && reading.tinOutOfRange && reading.taxpayer->tin != 0) std::abort();
    (void)d::readCsrfToken(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
