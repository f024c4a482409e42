#include "common/CookieLine.h"

namespace tavo::core::common::cookies {

std::optional<CookieLine> readCookieLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    constexpr std::string_view kHttpOnly = "#HttpOnly_";
    if (line.empty() || (line.front() == '#' && line.substr(0, kHttpOnly.size()) != kHttpOnly)) return std::nullopt;
    std::string_view fields[6];
    size_t from = 0;
    for (std::string_view& field : fields) {
        const size_t tab = line.find('\t', from);
        if (tab == std::string_view::npos) return std::nullopt;
        field = line.substr(from, tab - from);
        from = tab + 1;
    }
    return CookieLine{fields[0], fields[5], line.substr(from)};
}

}  // namespace tavo::core::common::cookies
