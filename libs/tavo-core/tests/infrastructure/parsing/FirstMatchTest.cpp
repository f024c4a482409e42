// firstMatch runs the caller's pattern on RE2; wherever std::regex survives
// (small inputs) the result must be the one std::regex gives, and on pages of
// any size the value must still be found.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "infrastructure/parsing/HtmlUtils.h"
#include "support/LogCapture.h"

using tavo::core::infra::parsing::HtmlUtils;

namespace {

constexpr size_t kMiB = 1024 * 1024;

// What the previous std::regex implementation returned: the reference.
bool stdRegexFirstMatch(const std::string& html, const std::string& pattern, std::string& group) {
    std::regex re(pattern, std::regex::ECMAScript | std::regex::icase);
    std::smatch m;
    if (!std::regex_search(html, m, re)) return false;
    group = m.size() > 1 && m[1].matched ? m[1].str() : "";
    return true;
}

// The shapes the portal families use: attribute values, spans with
// [\s\S]*?, alternations, Cyrillic text; plus the constructs whose meaning
// differs between the engines ("." and CR, "\s" and \v, "[^]", letter case
// of Cyrillic) and patterns RE2 cannot take (back-reference, look-ahead).
// clang-format off
const std::vector<std::string> kPatterns = {
    "id=\"pid\" value=\"([^\"]*)\"", "name=\"tok\"\\s+value=\"([^\"]*)\"", "value=([0-9]+)",
    "<span class=\"status\">([\\s\\S]*?)</span>", "<td>([\\s\\S]*?)</td>", "<td[^>]*>\\s*([^<]*?)\\s*</td>",
    "Статус:\\s*([^<]*)", "Вх\\. №\\s*(\\d+)", "(Приета|отхвърлена|ПРИЕТА)", "март\\s+(\\d{4})",
    "(?:value|id)=\"?([a-z0-9]+)", "<b>(.*?)</b>", "^(.+)$", "=(.*)", "docId=(\\d+)|value=\"(\\w*)\"",
    "(ok|okay)\\b", "^([^<]*)<", "([\\s\\S]*)</td>", "\\s(\\S+)\\s", "<b>([^]*?)</b>", "[]|(x)", "(\\w+)=\"",
    "'([^']*)'", "(?:<td>\\s*){2}([^<]+)", "[\\s>]([^\\s<]+)</", "(\\d+)(?=</td>)", "([\"'])[^\"']*\\1",
    "value=\"\\xd0\\x9c([^\"]*)\"", "№\\s*([\\S]+)"};

// Portal fragments and separators; the last two are a four-byte character
// and Windows-1251 letters (not UTF-8).
const std::vector<std::string> kTokens = {
    "<input type=\"hidden\" id=\"pid\" value=\"", "<INPUT ID=\"PID\" VALUE=\"", "name=\"tok\" value=\"", "\">",
    "<td>", "</td>", "<td class=\"r\">", "<span class=\"status\">", "</span>", "<b>", "</b>", "Статус: ", "Вх. № ",
    "№", "Приета", "ПРИЕТА", "отхвърлена", "Март 2024", "МАРТ 2024", "март 2024", "docId=", "value=", "VALUE=\"",
    "12345", "abc", "ABC", "Мабв", "okay", "ok", "'x'", " ", "  ", "\r\n", "\n", "\r", "\t", "\v", "\f", "\"", "'",
    "=", "<", ">", "&nbsp;", "\xf0\x9f\x98\x80", "\xc0\xe0\xd0\xf0"};
// clang-format on

}  // namespace

TEST(HtmlUtilsFirstMatch, EqualsStdRegexOnRandomPages) {
    std::mt19937 rng(20240305);
    size_t cases = 0, matching = 0;
    for (int i = 0; i < 600; ++i) {
        // Random fragments, below the size std::regex survives (sanitizers included).
        std::string html;
        for (int n = std::uniform_int_distribution<int>(0, 40)(rng); n > 0; --n) {
            const std::string& t = kTokens[std::uniform_int_distribution<size_t>(0, kTokens.size() - 1)(rng)];
            if (html.size() + t.size() > 400) break;
            html += t;
        }
        for (const std::string& pattern : kPatterns) {
            std::string expected;
            matching += stdRegexFirstMatch(html, pattern, expected) ? 1 : 0;
            ++cases;
            ASSERT_EQ(HtmlUtils::firstMatch(html, pattern), expected)
                << "pattern: " << pattern << "\npage: " << testing::PrintToString(html);
        }
    }
    EXPECT_GE(matching * 3, cases) << matching << " of " << cases << " cases matched";
}

TEST(HtmlUtilsFirstMatch, EnginesAgreeWhereTheyDifferByDefault) {
    struct Case {
        std::string html;
        std::string pattern;
        std::string result;
    };
    const std::vector<Case> cases = {
        {"value=abc\r\nnext", "value=(.*)", "abc"},  // "." stops at CR
        {"a\vb", "a\\s(b)", "b"},                    // "\s" takes \v
        {"a\vb c", "(\\S+)", "a"},                   // ... and "\S" does not
        {"a\vb", "a[\\s](b)", "b"},                  // also inside a class
        {"МАРТ 2024", "март (\\d+)", ""},            // Cyrillic letter case is not folded
        {"Март 2024", "Март (\\d+)", "2024"},
        {"VALUE=\"X\"", "value=\"([^\"]*)\"", "X"},                        // ASCII letter case is
        {"value=\"\xc0\xe1\xe2\"", "value=\"([^\"]*)\"", "\xc0\xe1\xe2"},  // Windows-1251 bytes pass
        {"\xf0\x9c", "(\xd0\x9c)", ""},                                    // no fold of lead bytes
        {"<b>a\nb</b>", "<b>([^]*?)</b>", "a\nb"},
        {"x ПРИЕТА", "(Приета|ПРИЕТА)", "ПРИЕТА"},  // alternatives sharing a non-ASCII prefix
        {"x Приета", "(?:ПР|Пр)(\\S*)", "иета"},
        {"xyzBCd", "([a-c]+)", "BC"},  // ranges fold ASCII letters
        {"abc-DEF", "([^a-z]+)", "-"},
        {"_z", "([Z-a]+)", "_z"},
        {"ЖЖЖ", "(Ж+)", "Ж"},      // a quantifier takes the last byte only
        {"abc", "[](x)|(a)", ""},  // "[]" matches nothing
        {"tab\there", "tab\\x09(\\w+)", "here"},
        {std::string("n\0ul", 4), std::string("n\\0(\\w+)"), "ul"},
        {"<td>1</td>", "(\\d+)(?=</td>)", "1"},  // look-ahead: std::regex below the limit
        {"'q' x", "(['\"])\\w\\1", "'"},         // back-reference likewise
        {"(?<n>a)", "(?<n>a)", ""},              // RE2 syntax that ECMAScript refuses
        {"abc", "([a-", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern + " on " + testing::PrintToString(c.html));
        EXPECT_EQ(HtmlUtils::firstMatch(c.html, c.pattern), c.result);
        std::string expected;
        try {
            stdRegexFirstMatch(c.html, c.pattern, expected);
        } catch (const std::regex_error&) {
        }
        EXPECT_EQ(expected, c.result) << "reference disagrees";
    }
}

TEST(HtmlUtilsFirstMatch, FindsTheValueOnLargePages) {
    std::string html = "<html><body>\r\n";
    while (html.size() < 10 * kMiB) html += "<tr><td>Справка</td><td class=\"x\">05.03.2024</td></tr>\r\n";
    const std::string status(kMiB, 'z');  // a long span std::regex would recurse over
    html += "<input type=\"hidden\" id=\"pid\" value=\"4711\"><span class=\"status\">" + status + "</span>";
    for (const auto& [pattern, expected] : std::vector<std::pair<std::string, std::string>>{
             {R"re(id="pid" value="([^"]*)")re", "4711"}, {R"re(<span class="status">([\s\S]*?)</span>)re", status}}) {
        SCOPED_TRACE(pattern);
        tavo::test::LogCapture log;
        EXPECT_EQ(HtmlUtils::firstMatch(html, pattern), expected);
        EXPECT_FALSE(log.contains("firstMatch skipped"));
    }
}

TEST(HtmlUtilsFirstMatch, PatternRe2CannotTakeRunsOnlyUpToTheLimit) {
    const std::string pattern = R"re(value=(["'])[^"']*\1)re";
    std::string atLimit = "value='" + std::string(HtmlUtils::kFirstMatchMaxInput - 8, 'a') + "'";
    ASSERT_EQ(atLimit.size(), HtmlUtils::kFirstMatchMaxInput);
    EXPECT_EQ(HtmlUtils::firstMatch(atLimit, pattern), "'");

    // A size at which std::regex would overflow the stack.
    std::string huge = "value='" + std::string(kMiB, 'a') + "'";
    tavo::test::LogCapture log;
    EXPECT_EQ(HtmlUtils::firstMatch(huge, pattern), "");
    EXPECT_TRUE(log.contains("HtmlUtils: firstMatch skipped an input of " + std::to_string(huge.size()) + " bytes"))
        << log.text();
}
