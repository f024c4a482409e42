#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "domain/PortalAnswers.h"

namespace d = tavo::core::domain;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto reading = d::readTaxpayerList(std::string_view(reinterpret_cast<const char*>(data), size));
    // A failed reading never carries entries.
    if (reading.failure != d::AnswerFailure::None && !reading.taxpayers.empty()) std::abort();
    return 0;
}
