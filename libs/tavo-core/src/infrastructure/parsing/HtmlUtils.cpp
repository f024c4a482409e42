#include "infrastructure/parsing/HtmlUtils.h"

#include <regex>
#include <string_view>
#include <utility>

#include "common/Logger.h"
#include "infrastructure/parsing/HtmlScanners.h"

namespace tavo::core::infra::parsing {
namespace {

// Decoded in this order, so an escaped entity ("&amp;lt;") ends decoded too.
constexpr std::pair<std::string_view, std::string_view> kEntities[] = {
    {"&nbsp;", " "}, {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"},
};

std::string replaceAll(const std::string& text, std::string_view from, std::string_view to) {
    size_t hit = text.find(from);
    if (hit == std::string::npos) return text;
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (; hit != std::string::npos; hit = text.find(from, pos)) {
        out.append(text, pos, hit - pos);
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text, pos, std::string::npos);
    return out;
}

}  // namespace

std::string HtmlUtils::stripHtml(const std::string& html) {
    std::string text = scan::replaceTags(html);
    for (const auto& [entity, plain] : kEntities) text = replaceAll(text, entity, plain);
    text = scan::collapseWhitespace(text);
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(' ');
    return text.substr(begin, end - begin + 1);
}

std::vector<std::string> HtmlUtils::extractDataRows(const std::string& html) {
    return scan::dataRows(html);
}

std::vector<std::string> HtmlUtils::extractCells(const std::string& rowHtml) {
    return scan::cells(rowHtml);
}

std::string HtmlUtils::firstMatch(const std::string& html, const std::string& pattern) {
    if (html.size() > kFirstMatchMaxInput) {
        Logger::warn("HtmlUtils: firstMatch skipped an input of " + std::to_string(html.size()) + " bytes (limit " +
                     std::to_string(kFirstMatchMaxInput) + ")");
        return {};
    }
    std::regex re;
    try {
        re.assign(pattern, std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error& e) {
        Logger::warn(std::string("HtmlUtils: firstMatch got an invalid pattern: ") + e.what());
        return {};
    }
    try {
        std::smatch m;
        if (std::regex_search(html, m, re) && m.size() > 1 && m[1].matched) return m[1].str();
    } catch (const std::exception& e) {
        Logger::warn(std::string("HtmlUtils: firstMatch search failed: ") + e.what());
    }
    return {};
}

}  // namespace tavo::core::infra::parsing
