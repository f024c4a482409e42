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
    // The scanners must agree with the patterns they replace.
    if (size <= kRegexCheckLimit) {
        if (rows != groupOnes("row", html) || cells != groupOnes("cell", html)) std::abort();
    }
    return 0;
}
