#include "infrastructure/java/ManifestScanner.h"

#include <algorithm>

#include "common/Ascii.h"

namespace tavo::stampit::formats {
namespace {

namespace ascii = core::common::ascii;

constexpr std::size_t npos = std::string_view::npos;

// What \b counts as a word character: ASCII letters, digits and '_'.
bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether text holds the lower-case literal at pos, letter case ignored.
bool startsWithAt(std::string_view text, std::size_t pos, std::string_view lowerLiteral) {
    if (pos > text.size() || text.size() - pos < lowerLiteral.size()) return false;
    for (std::size_t i = 0; i < lowerLiteral.size(); ++i)
        if (ascii::toLower(text[pos + i]) != lowerLiteral[i]) return false;
    return true;
}

// First position at or after from where the lower-case literal starts,
// letter case ignored.
std::size_t findNoCase(std::string_view text, std::string_view lowerLiteral, std::size_t from) {
    if (lowerLiteral.empty()) return from <= text.size() ? from : npos;
    const char first = lowerLiteral[0];
    const char firstUpper = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 'a' + 'A') : first;
    for (std::size_t i = from; i < text.size(); ++i) {
        if ((text[i] == first || text[i] == firstUpper) && startsWithAt(text, i, lowerLiteral)) return i;
    }
    return npos;
}

// The value of name="..." whose literal starts at pos: the maximal run of
// non-quote bytes after it, which must end at a quote. allowEmpty is the
// difference between [^"]* and [^"]+. Returns the closing quote's position.
std::size_t quotedValueEnd(std::string_view text, std::size_t valueStart, bool allowEmpty) {
    if (valueStart >= text.size()) return npos;
    if (!allowEmpty && text[valueStart] == '"') return npos;
    return text.find('"', valueStart);
}

// The largest k in [low, high] where \b<literal>"([^"]+)" matches, literal
// being `name="` in lower case; the value is returned through begin/end.
bool lastQuotedAttribute(std::string_view text, std::size_t low, std::size_t high, std::string_view lowerLiteral,
                         std::size_t& valueBegin, std::size_t& valueEnd) {
    if (high >= text.size()) high = text.size();
    for (std::size_t k = high + 1; k-- > low;) {
        if (!startsWithAt(text, k, lowerLiteral)) continue;
        if (k > 0 && isWordChar(text[k - 1])) continue;
        std::size_t close = quotedValueEnd(text, k + lowerLiteral.size(), false);
        if (close == npos) continue;
        valueBegin = k + lowerLiteral.size();
        valueEnd = close;
        return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> findCodebase(std::string_view text) {
    // Every start inside one '>'-free stretch can reach the same codebase
    // candidates, the first start the most: one look per stretch suffices.
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t start = findNoCase(text, "<jnlp", pos);
        if (start == npos) return std::nullopt;
        std::size_t from = start + 5;
        std::size_t stop = text.find('>', from);
        if (stop == npos) stop = text.size();
        // [^>]* before "codebase" lets it follow any byte, so no \b here.
        for (std::size_t k = stop + 1; k-- > from;) {
            if (!startsWithAt(text, k, "codebase=\"")) continue;
            std::size_t close = quotedValueEnd(text, k + 10, false);
            if (close != npos) return std::string(text.substr(k + 10, close - k - 10));
        }
        if (stop == text.size()) return std::nullopt;
        pos = stop + 1;
    }
    return std::nullopt;
}

std::vector<ResourcesBlock> findResourcesBlocks(std::string_view text) {
    std::vector<ResourcesBlock> blocks;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t start = findNoCase(text, "<resources", pos);
        if (start == npos) break;
        std::size_t attrs = start + 10;
        if (attrs < text.size() && isWordChar(text[attrs])) {
            pos = start + 1;
            continue;
        }
        // Without a '>' or a closing tag here, no later start has one either.
        std::size_t close = text.find('>', attrs);
        if (close == npos) break;
        std::size_t end = findNoCase(text, "</resources>", close + 1);
        if (end == npos) break;
        ResourcesBlock b;
        b.begin = start;
        b.end = end + 12;
        b.attributes = std::string(text.substr(attrs, close - attrs));
        b.body = std::string(text.substr(close + 1, end - close - 1));
        pos = b.end;
        blocks.push_back(std::move(b));
    }
    return blocks;
}

std::string cutResourcesBlocks(std::string_view text) {
    std::string out;
    std::size_t kept = 0;
    for (const ResourcesBlock& b : findResourcesBlocks(text)) {
        out.append(text.substr(kept, b.begin - kept));
        kept = b.end;
    }
    out.append(text.substr(kept));
    return out;
}

std::optional<std::string> findAttribute(std::string_view text, std::string_view name) {
    const std::string literal = ascii::lowerCopy(name) + "=\"";
    std::size_t pos = 0;
    for (;;) {
        std::size_t at = findNoCase(text, literal, pos);
        if (at == npos) return std::nullopt;
        if (at > 0 && isWordChar(text[at - 1])) {
            pos = at + 1;
            continue;
        }
        std::size_t valueBegin = at + literal.size();
        std::size_t close = quotedValueEnd(text, valueBegin, true);
        // No quote after this one means none after any later one either.
        if (close == npos) return std::nullopt;
        return std::string(text.substr(valueBegin, close - valueBegin));
    }
}

std::vector<JarMatch> findJars(std::string_view text) {
    std::vector<JarMatch> jars;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t lt = text.find('<', pos);
        if (lt == npos) break;
        std::size_t from;
        if (startsWithAt(text, lt, "<jar"))
            from = lt + 4;
        else if (startsWithAt(text, lt, "<nativelib"))
            from = lt + 10;
        else {
            pos = lt + 1;
            continue;
        }
        std::size_t stop = text.find('>', from);
        if (stop == npos) stop = text.size();
        // [^>]* is greedy: the last href candidate before the '>' wins. A
        // later start in the same stretch sees a subset of the candidates.
        std::size_t hrefBegin = 0, hrefEnd = 0;
        if (!lastQuotedAttribute(text, from, stop, "href=\"", hrefBegin, hrefEnd)) {
            if (stop == text.size()) break;
            pos = stop + 1;
            continue;
        }
        JarMatch m;
        m.href = std::string(text.substr(hrefBegin, hrefEnd - hrefBegin));
        std::size_t matchEnd = hrefEnd + 1;
        std::size_t sizeStop = text.find('>', matchEnd);
        if (sizeStop == npos) sizeStop = text.size();
        std::size_t sizeBegin = 0, sizeEnd = 0;
        if (lastQuotedAttribute(text, matchEnd, sizeStop, "size=\"", sizeBegin, sizeEnd)) {
            m.size = std::string(text.substr(sizeBegin, sizeEnd - sizeBegin));
            matchEnd = sizeEnd + 1;
        }
        jars.push_back(std::move(m));
        // Starts before the '>' that bounded this match find no candidate
        // past the one just taken.
        if (matchEnd <= stop) {
            if (stop == text.size()) break;
            pos = stop + 1;
        } else {
            pos = matchEnd;
        }
    }
    return jars;
}

}  // namespace tavo::stampit::formats
