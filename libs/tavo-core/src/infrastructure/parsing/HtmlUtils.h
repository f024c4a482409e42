#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tavo::core::infra::parsing {

// Plain text, rows, cells and single values out of the portal's
// server-rendered pages.
class HtmlUtils {
public:
    // Largest input firstMatch hands to std::regex, which it needs only for
    // a pattern RE2 cannot take (back-references, look-ahead). libstdc++
    // recurses per character and overflowed an 8 MiB stack at about 26 KB for
    // a plain capture (value="([^"]*)"), 20 KB for (?:a|b)* and 8.8 KB for a
    // capture group inside a star; under AddressSanitizer at 6.3 KB, 4.4 KB
    // and 2 KB. One limit for every build, with at least twice that margin.
    static constexpr size_t kFirstMatchMaxInput = 1024;

    // Tags become blanks, entities are decoded, whitespace runs become one
    // blank, and the ends are trimmed.
    static std::string stripHtml(const std::string& html);

    // Inner HTML of every table row whose opening tag carries onmouseover.
    static std::vector<std::string> extractDataRows(const std::string& html);

    // Inner HTML of every td cell.
    static std::vector<std::string> extractCells(const std::string& rowHtml);

    // Capture group 1 of the first match of pattern (ECMAScript grammar,
    // letter case ignored), or an empty string: no match, no group, an
    // invalid pattern, an engine failure. Runs in time linear in the input on
    // RE2; a pattern RE2 cannot take runs on std::regex, and only on inputs
    // up to kFirstMatchMaxInput (larger ones: empty, logged).
    static std::string firstMatch(const std::string& html, const std::string& pattern);
};

}  // namespace tavo::core::infra::parsing
