// The scanners against std::regex with the patterns they replace, on random
// inputs built from the patterns' own tokens. Inputs stay small: std::regex
// overflows the stack on large ones, which is why the scanners exist.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "infrastructure/parsing/HtmlScanners.h"

namespace scan = tavo::core::infra::parsing::scan;

namespace {

constexpr int kInputsPerPattern = 4000;
constexpr size_t kMaxInput = 400;

using Tokens = std::vector<std::string>;

const Tokens kNoise = {" ", "\t", "\n", "\r", "\v", "\f", "a",  "b",        "=",    "\"",    "<",
                       "/", ">",  "<>", "t",  "r",  "d",  "<t", "\xd0\x9c", "\xa0", "&nbsp;"};
const Tokens kRowOpen = {"<tr", "<TR", "<Tr", "<tR"};
const Tokens kSpace = {" ", "\t", "\n", "\r\n", "\f", "  "};
const Tokens kWord = {"onmouseover", "OnMouseOver", "ONMOUSEOVER", "onMouseover", "onmouse", "mouseover"};
const Tokens kRowClose = {"</tr>", "</TR>", "</Tr>", "</tr", "</t r>"};
const Tokens kCellOpen = {"<td", "<TD", "<Td class=x", "<tD\n"};
const Tokens kCellClose = {"</td>", "</TD>", "</tD>", "</td", "</ td>"};

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    const std::string& pick(const Tokens& t) { return t[std::uniform_int_distribution<size_t>(0, t.size() - 1)(rng_)]; }
    bool coin() { return std::uniform_int_distribution<int>(0, 1)(rng_) == 1; }

    // A few tokens from all the lists.
    std::string noise(int maxTokens) {
        static const std::vector<const Tokens*> all = {&kNoise, &kNoise,    &kNoise,    &kRowOpen,  &kSpace,
                                                       &kWord,  &kRowClose, &kCellOpen, &kCellClose};
        std::string s;
        int n = std::uniform_int_distribution<int>(0, maxTokens)(rng_);
        for (int i = 0; i < n; ++i) s += pick(*all[std::uniform_int_distribution<size_t>(0, all.size() - 1)(rng_)]);
        return s;
    }

    // Most inputs follow the pattern's shape, with noise in every gap.
    std::string row() {
        std::string s = noise(6);
        for (int rows = coin() ? 1 : 2; rows > 0; --rows) {
            if (std::uniform_int_distribution<int>(0, 3)(rng_) == 0) continue;
            s += pick(kRowOpen) + pick(kSpace) + noise(3) + pick(kWord) + noise(3) + ">" + noise(8) + pick(kRowClose) +
                 noise(4);
        }
        return cap(s);
    }

    std::string cell() {
        std::string s = noise(6);
        for (int cells = coin() ? 1 : 3; cells > 0; --cells) {
            if (!coin()) continue;
            s += pick(kCellOpen) + noise(3) + ">" + noise(8) + pick(kCellClose) + noise(3);
        }
        return cap(s);
    }

    std::string text() { return cap(noise(40)); }

private:
    static std::string cap(std::string s) { return s.size() > kMaxInput ? s.substr(0, kMaxInput) : s; }
    std::mt19937 rng_;
};

std::vector<std::string> groupOnes(const std::regex& re, const std::string& s) {
    std::vector<std::string> out;
    for (std::sregex_iterator it(s.begin(), s.end(), re), end; it != end; ++it) out.push_back((*it)[1].str());
    return out;
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace

TEST(HtmlScanners, DataRowsEqualTheRegex) {
    const std::regex re("<tr\\s+[^>]*onmouseover[^>]*>([\\s\\S]*?)</tr>", std::regex::ECMAScript | std::regex::icase);
    Generator gen(20240301);
    int matching = 0;
    for (int i = 0; i < kInputsPerPattern; ++i) {
        std::string s = gen.row();
        auto expected = groupOnes(re, s);
        matching += !expected.empty();
        ASSERT_EQ(scan::dataRows(s), expected) << "input: " << printable(s);
    }
    EXPECT_GE(matching * 3, kInputsPerPattern) << matching;
}

TEST(HtmlScanners, CellsEqualTheRegex) {
    const std::regex re("<td[^>]*>([\\s\\S]*?)</td>", std::regex::ECMAScript | std::regex::icase);
    Generator gen(20240302);
    int matching = 0;
    for (int i = 0; i < kInputsPerPattern; ++i) {
        std::string s = gen.cell();
        auto expected = groupOnes(re, s);
        matching += !expected.empty();
        ASSERT_EQ(scan::cells(s), expected) << "input: " << printable(s);
    }
    EXPECT_GE(matching * 3, kInputsPerPattern) << matching;
}

TEST(HtmlScanners, TagReplacementEqualsTheRegex) {
    const std::regex re("<[^>]+>", std::regex::ECMAScript);
    Generator gen(20240303);
    int matching = 0;
    for (int i = 0; i < kInputsPerPattern; ++i) {
        std::string s = gen.text();
        matching += std::regex_search(s, re);
        ASSERT_EQ(scan::replaceTags(s), std::regex_replace(s, re, " ")) << "input: " << printable(s);
    }
    EXPECT_GE(matching * 3, kInputsPerPattern) << matching;
}

TEST(HtmlScanners, WhitespaceCollapseEqualsTheRegex) {
    const std::regex re("\\s+", std::regex::ECMAScript);
    Generator gen(20240304);
    int matching = 0;
    for (int i = 0; i < kInputsPerPattern; ++i) {
        std::string s = gen.text();
        matching += std::regex_search(s, re);
        ASSERT_EQ(scan::collapseWhitespace(s), std::regex_replace(s, re, " ")) << "input: " << printable(s);
    }
    EXPECT_GE(matching * 3, kInputsPerPattern) << matching;
}

TEST(HtmlScanners, DigitsOfAValue) {
    struct Case {
        const char* html;
        size_t pos;
        const char* digits;
    };
    const Case cases[] = {
        {"pid=123&x", 4, "123"}, {"pid= \t'456'", 4, "456"}, {"pid=\"78\"", 4, "78"},
        {"pid=''9", 4, ""},      {"pid=abc", 4, ""},         {"pid=", 4, ""},
        {"pid=", 9, ""},         {"pid= \v\f 0", 4, "0"},    {"pid=12345678901234567890", 4, "12345678901234567890"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.html);
        EXPECT_EQ(scan::digitsAt(c.html, c.pos), c.digits);
    }
}
