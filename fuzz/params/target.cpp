#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "operations/ParameterJson.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto params =
        tavo::core::operations::flattenParameters(std::string_view(reinterpret_cast<const char*>(data), size), &error);
    if (!params && error.empty()) std::abort();
    if (params && !error.empty()) std::abort();
    return 0;
}
