#include "infrastructure/parsing/HtmlUtils.h"

#include <algorithm>
#include <optional>
#include <regex>
#include <string_view>
#include <utility>

#include <re2/re2.h>

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

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (c | 0x20) - 'a' + 10;
}

bool isAsciiLetter(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string hexByte(int c) {
    constexpr char kDigits[] = "0123456789abcdef";
    return std::string("\\x") + kDigits[(c >> 4) & 0xF] + kDigits[c & 0xF];
}

// RE2 of 2022 drops the Latin-1 flag from a literal prefix it factors out of
// alternatives ("\xd0\x9f\xd1|\xd0\x9f\xd0" then never matches). A one-
// time repetition is not a literal, so it is never factored that way.
std::string unfactored(const std::string& atom) {
    return "(?:" + atom + "{1})";
}

// A byte outside a class, matched in either ASCII letter case.
std::string foldedAtom(int c) {
    if (c >= 0x80) return unfactored(hexByte(c));
    if (!isAsciiLetter(c)) return hexByte(c);
    return "[" + hexByte(c) + hexByte(c ^ 0x20) + "]";
}

// What "\s" means to std::regex in the classic locale; RE2's own "\s" lacks
// the vertical tab.
constexpr std::string_view kSpaceSet = "\\t\\n\\v\\f\\r ";
constexpr std::string_view kNonSpaceRanges = "\\x00-\\x08\\x0e-\\x1f\\x21-\\xff";

// The byte a one-character escape stands for ("\n", "\x41", "\-"), or -1
// for a class escape ("\d") and -2 for one we do not translate.
int escapedByte(std::string_view p, size_t& i, bool inClass) {
    const char e = p[i];
    switch (e) {
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case 'f':
            return '\f';
        case 'v':
            return '\v';
        case 'b':
            return inClass ? '\b' : -1;
        case '0':
            if (i + 1 < p.size() && p[i + 1] >= '0' && p[i + 1] <= '9') return -2;
            return 0;
        case 'x':
            if (i + 2 >= p.size() || !isHex(p[i + 1]) || !isHex(p[i + 2])) return -2;
            i += 2;
            return hexValue(p[i - 1]) * 16 + hexValue(p[i]);
        case 'd':
        case 'D':
        case 'w':
        case 'W':
        case 's':
        case 'S':
        case 'B':
            return -1;
        default:
            // Back-references, \u, \c and the like; any other byte stands for itself.
            if (isAsciiLetter(e) || (e >= '0' && e <= '9')) return -2;
            return static_cast<unsigned char>(e);
    }
}

// One class member at p[i] that stands for a single byte: the byte, or -1
// when the member is a set of its own (appended to members as RE2 reads it:
// "\d", "\s", "[:alpha:]") and -2 for one we do not translate. Leaves i on
// the member's last character.
int classMember(std::string_view p, size_t& i, std::string& members) {
    const char c = p[i];
    if (c == '\\') {
        if (++i == p.size()) return -2;
        int b = escapedByte(p, i, true);
        if (b == -1) {
            const char e = p[i];
            if (e == 's')
                members.append(kSpaceSet);
            else if (e == 'S')
                members.append(kNonSpaceRanges);
            else
                members.append("\\").append(1, e);
        }
        return b;
    }
    if (c == '[' && i + 1 < p.size() && (p[i + 1] == ':' || p[i + 1] == '.' || p[i + 1] == '=')) {
        size_t end = p.find(":]", i + 2);
        std::string_view name = end == std::string_view::npos ? "" : p.substr(i + 2, end - i - 2);
        // Letter case decides what [:upper:] and [:lower:] take.
        if (p[i + 1] != ':' || end == std::string_view::npos || name == "upper" || name == "lower") return -2;
        members.append(p.substr(i, end + 2 - i));
        i = end + 1;
        return -1;
    }
    return static_cast<unsigned char>(c);
}

// The byte range lo-hi as class members, with the other letter case of every
// ASCII letter in it.
void appendFoldedRange(int lo, int hi, std::string& members) {
    members.append(hexByte(lo)).append("-").append(hexByte(hi));
    for (auto [from, to] : {std::pair<int, int>{'A', 'Z'}, {'a', 'z'}}) {
        int a = std::max(lo, from), z = std::min(hi, to);
        if (a <= z) members.append(hexByte(a ^ 0x20)).append("-").append(hexByte(z ^ 0x20));
    }
}

// The members of the class whose first member is at p[i], up to its closing
// "]" (where i is left); false when the class does not end or holds a member
// we do not translate.
bool readClassMembers(std::string_view p, size_t& i, std::string& members) {
    for (; i < p.size() && p[i] != ']'; ++i) {
        int lo = classMember(p, i, members);
        if (lo == -2) return false;
        if (lo == -1) continue;
        int hi = lo;
        if (i + 2 < p.size() && p[i + 1] == '-' && p[i + 2] != ']') {
            i += 2;
            std::string ignored;
            hi = classMember(p, i, ignored);
            if (hi < 0) return false;
        }
        appendFoldedRange(lo, hi, members);
    }
    return i < p.size();
}

// The class opening at p[i] ("[...]" or "[^...]"), rewritten; i is left on
// its closing "]".
bool appendClass(std::string_view p, size_t& i, std::string& out) {
    const bool negated = i + 1 < p.size() && p[i + 1] == '^';
    i += negated ? 2 : 1;
    if (i < p.size() && p[i] == ']') {
        out.append(unfactored(negated ? "[\\x00-\\xff]" : "[^\\x00-\\xff]"));
        return true;
    }
    std::string members;
    if (!readClassMembers(p, i, members)) return false;
    // A class of one byte is a literal to RE2.
    out.append(unfactored((negated ? "[^" : "[") + members + "]"));
    return true;
}

// The escape whose backslash is at p[i], rewritten; i is left on its last
// character.
bool appendEscape(std::string_view p, size_t& i, std::string& out) {
    if (++i == p.size()) return false;
    int b = escapedByte(p, i, false);
    if (b == -2) return false;
    if (b >= 0)
        out.append(foldedAtom(b));
    else if (p[i] == 's')
        out.append("[").append(kSpaceSet).append("]");
    else if (p[i] == 'S')
        out.append("[^").append(kSpaceSet).append("]");
    else
        out.append("\\").append(1, p[i]);
    return true;
}

// The caller's ECMAScript pattern (already accepted by std::regex) rewritten
// for RE2 so that both engines match the same bytes. RE2 runs in Latin-1 mode
// with letter case respected, and the rewrite folds ASCII letters itself:
// - Latin-1, not UTF-8: std::regex works on bytes, so "[^\"]*" takes any
//   byte, Windows-1251 pages included, and Cyrillic letter case is never
//   folded (icase in the classic locale folds ASCII letters only); RE2 in
//   UTF-8 mode stops at bytes that are not UTF-8 and folds Cyrillic, and its
//   case-insensitive Latin-1 mode folds bytes 0xC0-0xDE with 0xE0-0xFE.
// - "." excludes CR as well as LF in ECMAScript; "\s" includes \v.
// - "[]" matches nothing and "[^]" any byte in ECMAScript.
// No value when the pattern uses a construct we do not translate (back-
// references, \u, \c, collating elements): the caller then uses std::regex.
// One difference stays: a repeated group that can match the empty string.
// The engines stop its repetition at different points, which changes both
// what a capture inside it reports ("((?:x)?.*)+" on "ab\nxc": libstdc++
// gives the last, empty iteration "", RE2 the last non-empty one "ab") and
// how far the whole match reaches ("(a(?:.??b*)*)" on "abzzz": libstdc++
// stops at "ab", RE2 takes "abzzz"). No pattern of the portal's shapes
// repeats such a group.
std::optional<std::string> toRe2Syntax(std::string_view p) {
    std::string out;
    out.reserve(p.size() * 4);
    for (size_t i = 0; i < p.size(); ++i) {
        const char c = p[i];
        if (c == '\\') {
            if (!appendEscape(p, i, out)) return std::nullopt;
        } else if (c == '[') {
            if (!appendClass(p, i, out)) return std::nullopt;
        } else if (c == '.') {
            out.append("[^\\n\\r]");
        } else if (isAsciiLetter(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80) {
            out.append(foldedAtom(static_cast<unsigned char>(c)));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string firstMatchWithStdRegex(const std::string& html, const std::regex& re) {
    try {
        std::smatch m;
        if (std::regex_search(html, m, re) && m.size() > 1 && m[1].matched) return m[1].str();
    } catch (const std::exception& e) {
        Logger::warn(std::string("HtmlUtils: firstMatch search failed: ") + e.what());
    }
    return {};
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
    // std::regex decides what a valid pattern is: callers write ECMAScript,
    // and RE2 accepts some texts ECMAScript refuses.
    std::regex re;
    try {
        re.assign(pattern, std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error& e) {
        Logger::warn(std::string("HtmlUtils: firstMatch got an invalid pattern: ") + e.what());
        return {};
    }
    std::string reason = "a construct RE2 reads otherwise";
    if (std::optional<std::string> translated = toRe2Syntax(pattern)) {
        RE2::Options options;
        options.set_encoding(RE2::Options::EncodingLatin1);
        options.set_log_errors(false);
        RE2 linear(*translated, options);
        if (linear.ok()) {
            if (linear.NumberOfCapturingGroups() < 1) return {};
            re2::StringPiece groups[2];
            if (!linear.Match(html, 0, html.size(), RE2::UNANCHORED, groups, 2)) return {};
            if (groups[1].data() == nullptr) return {};  // group 1 took no part
            return std::string(groups[1].data(), groups[1].size());
        }
        reason = linear.error();
    }
    if (html.size() > kFirstMatchMaxInput) {
        Logger::warn("HtmlUtils: firstMatch skipped an input of " + std::to_string(html.size()) + " bytes (limit " +
                     std::to_string(kFirstMatchMaxInput) + " for patterns RE2 cannot take: " + reason + ")");
        return {};
    }
    return firstMatchWithStdRegex(html, re);
}

}  // namespace tavo::core::infra::parsing
