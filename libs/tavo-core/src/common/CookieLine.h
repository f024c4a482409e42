#pragma once

#include <optional>
#include <string_view>

namespace tavo::core::common::cookies {

// One line of a Netscape cookie file (the form libcurl exports its jar in):
// domain, subdomains flag, path, secure, expiry, name, value, TAB-separated.
struct CookieLine {
    std::string_view domainField;  // as written, with a "#HttpOnly_" mark
    std::string_view name;
    std::string_view value;
};

// The fields of a cookie line; none for a comment, a blank line or a line
// without the name and value fields. A CR before the line end is dropped.
std::optional<CookieLine> readCookieLine(std::string_view line);

// Calls visit(CookieLine) for every cookie of a cookie file.
template <typename Visit>
void forEachCookie(std::string_view file, Visit&& visit) {
    size_t start = 0;
    while (start < file.size()) {
        size_t end = file.find('\n', start);
        if (end == std::string_view::npos) end = file.size();
        if (auto cookie = readCookieLine(file.substr(start, end - start))) visit(*cookie);
        start = end + 1;
    }
}

}  // namespace tavo::core::common::cookies
