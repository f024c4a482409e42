#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "domain/PortalAnswers.h"

namespace d = tavo::core::domain;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto reading = d::readCatalogue(std::string_view(reinterpret_cast<const char*>(data), size));
    if (reading.failure != d::AnswerFailure::None && !reading.categories.empty()) std::abort();
    for (const auto& category : reading.categories) {
        for (const auto& service : category.services) {
            for (const auto& link : service.links) (void)link.systemId();
        }
    }
    return 0;
}
