#include "common/Ascii.h"
#include "infrastructure/parsing/HtmlScanners.h"

#include <cstring>

namespace tavo::core::infra::parsing::scan {
namespace {

constexpr size_t npos = std::string_view::npos;

constexpr auto isSpace = &tavo::core::common::ascii::isSpace;

constexpr auto lowerAscii = &tavo::core::common::ascii::toLower;

// Whether lowerNeedle (lower-case ASCII) stands at pos, letter case ignored.
bool matchesAt(std::string_view text, size_t pos, std::string_view lowerNeedle) {
    if (pos > text.size() || text.size() - pos < lowerNeedle.size()) return false;
    for (size_t k = 0; k < lowerNeedle.size(); ++k) {
        if (lowerAscii(text[pos + k]) != lowerNeedle[k]) return false;
    }
    return true;
}

size_t findChar(std::string_view text, size_t from, char c) {
    if (from >= text.size()) return npos;
    const void* hit = std::memchr(text.data() + from, c, text.size() - from);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : npos;
}

// First position at or after from where lowerNeedle (starting with a
// non-letter) stands, letter case ignored.
size_t findNoCase(std::string_view text, size_t from, std::string_view lowerNeedle) {
    for (size_t p = findChar(text, from, lowerNeedle[0]); p != npos; p = findChar(text, p + 1, lowerNeedle[0])) {
        if (matchesAt(text, p, lowerNeedle)) return p;
    }
    return npos;
}

}  // namespace

std::string replaceTags(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        size_t lt = findChar(text, i, '<');
        // Without a later ">" no "<" can open a tag any more.
        size_t gt = lt == npos ? npos : findChar(text, lt + 1, '>');
        if (gt == npos) break;
        if (gt == lt + 1) {
            // "<>" holds no character: no tag starts here.
            out.append(text.substr(i, lt + 1 - i));
            i = lt + 1;
            continue;
        }
        out.append(text.substr(i, lt - i));
        out.push_back(' ');
        i = gt + 1;
    }
    if (i < text.size()) out.append(text.substr(i));
    return out;
}

std::string collapseWhitespace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (!isSpace(text[i])) {
            out.push_back(text[i++]);
            continue;
        }
        while (i < text.size() && isSpace(text[i])) ++i;
        out.push_back(' ');
    }
    return out;
}

std::vector<std::string> dataRows(std::string_view html) {
    constexpr std::string_view kWord = "onmouseover";
    std::vector<std::string> rows;
    // The closing ">" of the tag that the last candidate found, and the last
    // start of the word before it: every "<tr" that shares one tag end shares
    // these, which keeps the scan linear on a huge unclosed tag.
    size_t cachedGt = npos;
    size_t wordAt = npos;
    size_t pos = 0;
    while (true) {
        size_t lt = findNoCase(html, pos, "<tr");
        if (lt == npos) break;
        if (lt + 3 >= html.size() || !isSpace(html[lt + 3])) {
            pos = lt + 1;
            continue;
        }
        const size_t attrs = lt + 4;  // the word may start after the first whitespace
        if (cachedGt == npos || cachedGt < attrs) {
            cachedGt = findChar(html, attrs, '>');
            // No ">" left: neither this nor any later row tag can close.
            if (cachedGt == npos) break;
            wordAt = npos;
            for (size_t s = cachedGt; s >= attrs + kWord.size(); --s) {
                if (matchesAt(html, s - kWord.size(), kWord)) {
                    wordAt = s - kWord.size();
                    break;
                }
            }
        }
        if (wordAt == npos || wordAt < attrs) {
            pos = lt + 1;
            continue;
        }
        size_t close = findNoCase(html, cachedGt + 1, "</tr>");
        // No "</tr>" after this tag: none after any later tag either.
        if (close == npos) break;
        rows.emplace_back(html.substr(cachedGt + 1, close - cachedGt - 1));
        pos = close + 5;
    }
    return rows;
}

std::vector<std::string> cells(std::string_view html) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (true) {
        size_t lt = findNoCase(html, pos, "<td");
        if (lt == npos) break;
        size_t gt = findChar(html, lt + 3, '>');
        if (gt == npos) break;
        size_t close = findNoCase(html, gt + 1, "</td>");
        if (close == npos) break;
        out.emplace_back(html.substr(gt + 1, close - gt - 1));
        pos = close + 5;
    }
    return out;
}

}  // namespace tavo::core::infra::parsing::scan
