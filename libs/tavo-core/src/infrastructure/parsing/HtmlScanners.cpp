#include "infrastructure/parsing/HtmlScanners.h"
#include "common/Ascii.h"

#include <algorithm>
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

namespace {

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// End (one past ">") of the tag opening at lt; attribute values in quotes
// may hold ">". npos when the tag never closes.
size_t tagEnd(std::string_view html, size_t lt) {
    size_t j = lt + 1;
    while (j < html.size()) {
        char c = html[j];
        if (c == '>') return j + 1;
        if (c == '=') {
            ++j;
            while (j < html.size() && isSpace(html[j])) ++j;
            if (j < html.size() && (html[j] == '"' || html[j] == '\'')) {
                size_t close = findChar(html, j + 1, html[j]);
                if (close == npos) return npos;
                j = close + 1;
            }
            continue;
        }
        ++j;
    }
    return npos;
}

// The element whose content is never shown, named by the tag at lt, or empty.
std::string_view hiddenElement(std::string_view html, size_t lt) {
    for (std::string_view name : {std::string_view("script"), std::string_view("style")}) {
        size_t after = lt + 1 + name.size();
        if (matchesAt(html, lt + 1, name) && (after >= html.size() || !isAsciiLetter(html[after]))) return name;
    }
    return {};
}

bool isCharsetChar(char c) {
    return isAsciiLetter(c) || common::ascii::isDigit(c) || c == '-' || c == '_' || c == '.' || c == ':';
}

}  // namespace

std::string visibleText(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    size_t i = 0;
    while (i < html.size()) {
        char c = html[i];
        if (c == '<') {
            char next = i + 1 < html.size() ? html[i + 1] : '\0';
            if (!isAsciiLetter(next) && next != '/' && next != '!' && next != '?') {
                out.push_back(' ');
                ++i;
                continue;
            }
            out.push_back(' ');
            if (matchesAt(html, i, "<!--")) {
                // "<!-->" and "<!--->" close at once, as in a browser.
                size_t close = html.find("-->", i + 2);
                i = close == npos ? html.size() : close + 3;
                continue;
            }
            std::string_view hidden = hiddenElement(html, i);
            size_t end = tagEnd(html, i);
            if (end == npos) break;
            i = end;
            if (!hidden.empty()) {
                // The content runs to the closing tag, which is read as a tag.
                std::string closing = "</" + std::string(hidden);
                size_t close = findNoCase(html, i, closing);
                if (close == npos) break;
                i = close;
            }
            continue;
        }
        if (static_cast<unsigned char>(c) == 0xC2 && i + 1 < html.size() &&
            static_cast<unsigned char>(html[i + 1]) == 0xA0) {
            out.push_back(' ');
            i += 2;
            continue;
        }
        out.push_back(c);
        ++i;
    }
    return out;
}

std::string charsetParameter(std::string_view text) {
    for (size_t at = 0; at + 7 <= text.size(); ++at) {
        if (!matchesAt(text, at, "charset")) continue;
        size_t pos = at + 7;
        while (pos < text.size() && isSpace(text[pos])) ++pos;
        if (pos >= text.size() || text[pos] != '=') continue;
        ++pos;
        while (pos < text.size() && isSpace(text[pos])) ++pos;
        if (pos < text.size() && (text[pos] == '"' || text[pos] == '\'')) ++pos;
        std::string label;
        while (pos < text.size() && isCharsetChar(text[pos])) label.push_back(lowerAscii(text[pos++]));
        if (!label.empty()) return label;
    }
    return {};
}

std::string metaCharset(std::string_view html) {
    const size_t body = findNoCase(html, 0, "<body");
    const std::string_view head = html.substr(0, body == npos ? html.size() : body);
    for (size_t at = findNoCase(head, 0, "<meta"); at != npos;) {
        size_t end = tagEnd(head, at);
        std::string label = charsetParameter(head.substr(at, end == npos ? npos : end - at));
        if (!label.empty()) return label;
        if (end == npos) break;
        at = findNoCase(head, end, "<meta");
    }
    return {};
}

std::string_view digitsAt(std::string_view html, size_t pos) {
    while (pos < html.size() && common::ascii::isSpace(html[pos])) ++pos;
    if (pos < html.size() && (html[pos] == '"' || html[pos] == '\'')) ++pos;
    const size_t digits = pos;
    while (pos < html.size() && common::ascii::isDigit(html[pos])) ++pos;
    return html.substr(std::min(digits, html.size()), pos - digits);
}

}  // namespace tavo::core::infra::parsing::scan
