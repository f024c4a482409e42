#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "infrastructure/parsing/HtmlUtils.h"

using tavo::core::infra::parsing::HtmlUtils;

namespace {

// Small enough for std::regex to search without overflowing the stack.
constexpr size_t kRegexCheckLimit = 512;

std::vector<std::string> groupOnes(const char* pattern, const std::string& s) {
    static const std::regex row("<tr\\s+[^>]*onmouseover[^>]*>([\\s\\S]*?)</tr>",
                                std::regex::ECMAScript | std::regex::icase);
    static const std::regex cell("<td[^>]*>([\\s\\S]*?)</td>", std::regex::ECMAScript | std::regex::icase);
    const std::regex& re = pattern[0] == 'r' ? row : cell;
    std::vector<std::string> out;
    for (std::sregex_iterator it(s.begin(), s.end(), re), end; it != end; ++it) out.push_back((*it)[1].str());
    return out;
}

// Callers' pattern shapes: an attribute value, a lazy span, Cyrillic
// alternatives, and one RE2 cannot take (back-reference).
const char* const kFirstMatchPatterns[] = {
    "id=\"pid\" value=\"([^\"]*)\"",
    "<span class=\"status\">([\\s\\S]*?)</span>",
    "(\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb5\xd1\x82\xd0\xb0|\xd0\x9f\xd0\xa0\xd0\x98\xd0\x95\xd0\xa2\xd0\x90)",
    "=(.*)",
    "(['\"])[^'\"]*\\1",
};

std::string stdRegexFirstMatch(const std::string& s, const char* pattern) {
    std::regex re(pattern, std::regex::ECMAScript | std::regex::icase);
    std::smatch m;
    if (std::regex_search(s, m, re) && m.size() > 1 && m[1].matched) return m[1].str();
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string html(reinterpret_cast<const char*>(data), size);
    std::string text = HtmlUtils::stripHtml(html);
    if (text.size() > html.size() || (!text.empty() && (text.front() == ' ' || text.back() == ' '))) std::abort();
    if (text.find("  ") != std::string::npos) std::abort();
    auto rows = HtmlUtils::extractDataRows(html);
    auto cells = HtmlUtils::extractCells(html);
    for (const auto& r : rows) {
        if (html.find(r) == std::string::npos) std::abort();
    }
    // The scanners must agree with the patterns they replace, and firstMatch
    // with std::regex wherever std::regex survives.
    for (const char* pattern : kFirstMatchPatterns) {
        std::string value = HtmlUtils::firstMatch(html, pattern);
        if (value.size() > html.size()) std::abort();
        if (size <= kRegexCheckLimit && value != stdRegexFirstMatch(html, pattern)) std::abort();
    }
    if (size <= kRegexCheckLimit) {
        if (rows != groupOnes("row", html) || cells != groupOnes("cell", html)) std::abort();
    }
    return 0;
}
