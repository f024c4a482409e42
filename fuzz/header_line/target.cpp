#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "infrastructure/http/CurlText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    auto header = tavo::core::infra::http::parseHeaderLine(line);
    if (!header) {
        if (line.find(':') != std::string_view::npos) std::abort();
        return 0;
    }
    // The name is the text before the first colon; the value a trimmed piece
    // of what follows it.
    const auto& [name, value] = *header;
    if (name.find(':') != std::string::npos || line.substr(0, name.size()) != name) std::abort();
    if (line.substr(name.size() + 1).find(value) == std::string_view::npos) std::abort();
    if (!value.empty() &&
        (value.front() == ' ' || value.front() == '\t' || value.back() == '\r' || value.back() == '\n'))
        std::abort();
    return 0;
}
