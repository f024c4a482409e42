#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "infrastructure/http/CurlText.h"

namespace http = tavo::core::infra::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::string once = http::redactCurlInfo(line);
    // Redaction only removes: nothing grows beyond the marker it inserts, and
    // a second pass finds nothing more to take.
    if (once.size() > line.size() + 10) std::abort();
    if (http::redactCurlInfo(once) != once) std::abort();
    // A URL in the output never keeps a query.
    for (std::size_t at = once.find("://"); at != std::string::npos; at = once.find("://", at + 3)) {
        std::size_t end = once.find_first_of(" \t'\"<>", at + 3);
        std::string_view url = std::string_view(once).substr(at + 3, end == std::string::npos ? end : end - at - 3);
        if (url.find('?') != std::string_view::npos || url.find('#') != std::string_view::npos) std::abort();
    }
    return 0;
}
