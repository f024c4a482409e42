#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "infrastructure/parsing/HtmlUtils.h"

using tavo::core::infra::parsing::HtmlUtils;
using Rows = std::vector<std::string>;

namespace {
constexpr size_t kMiB = 1024 * 1024;
}

TEST(HtmlUtilsStrip, TextOfPortalFragments) {
    struct Case {
        const char* html;
        const char* text;
    };
    for (const Case& c : {
             Case{"<b>Вх.&nbsp;№  123</b>", "Вх. № 123"},
             {"  plain\t\ttext \r\n here  ", "plain text here"},
             {"", ""},
             {" \t\r\n\v\f ", ""},
             {"<p></p>", ""},
             {"a<br/>b", "a b"},
             {"x <> y", "x <> y"},                        // "<>" holds nothing: not a tag
             {"a < b", "a < b"},                          // no closing ">" anywhere
             {"&lt;b&gt;bold&lt;/b&gt;", "<b>bold</b>"},  // encoded tags stay text
             {"&amp;lt;", "<"},                           // "&amp;" first, then "&lt;"
             {"&amp;amp;", "&amp;"},                      // one decoding per pass
             {"&quot;q&quot; &apos;s&apos;", "\"q\" 's'"},
             {"<td class=\"a\">1</td><td>2</td>", "1 2"},
             {"<a href=\"x\nmultiline\">link</a>", "link"},
             {"&nbsp;&nbsp;x&nbsp;&nbsp;", "x"},
         }) {
        SCOPED_TRACE(c.html);
        EXPECT_EQ(HtmlUtils::stripHtml(c.html), c.text);
    }
}

TEST(HtmlUtilsRows, OnlyRowsWithOnmouseoverInTheirTag) {
    struct Case {
        std::string html;
        Rows rows;
    };
    const std::vector<Case> cases = {
        {"<tr><td>1</td></tr>", {}},
        {"<TR class=\"odd\" onMouseOver=\"hi(this)\"><td>1</td></TR>", {"<td>1</td>"}},
        {"<tr onmouseover=x>a</tr><tr>b</tr><tr\tONMOUSEOVER>c</tr>", {"a", "c"}},
        {"<tr onmouseover>a</tr>b</tr>", {"a"}},  // lazily up to the first "</tr>"
        {"<tronmouseover>a</tr>", {}},            // whitespace after "tr" is required
        {"<tr class=x>onmouseover</tr>", {}},     // the word must be inside the tag
        {"<tr onmouseover>unterminated", {}},
        {"<tr onmouseover><td>a\nb</td></tr>", {"<td>a\nb</td>"}},
        {"<tr x <tr onmouseover>a</tr>", {"a"}},  // first tag absorbs the second
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.html);
        EXPECT_EQ(HtmlUtils::extractDataRows(c.html), c.rows);
    }
}

TEST(HtmlUtilsCells, InnerHtmlOfEveryTdCell) {
    struct Case {
        std::string html;
        Rows cells;
    };
    const std::vector<Case> cases = {
        {"<td>a</td><td class=\"x\">line1\nline2\n</td>", {"a", "line1\nline2\n"}},
        {"<th>head</th><td>v</td>", {"v"}},
        {"<TD ALIGN=right>1</Td>", {"1"}},
        {"<td>open", {}},
        {"<td><b>x</b></td>", {"<b>x</b>"}},
        {"<td>a</td", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.html);
        EXPECT_EQ(HtmlUtils::extractCells(c.html), c.cells);
    }
}

TEST(HtmlUtilsFirstMatch, GroupOneOrEmpty) {
    struct Case {
        const char* html;
        const char* pattern;
        const char* result;
    };
    for (const Case& c : {
             Case{"<input name=\"tok\" value=\"abc\">", "name=\"tok\" value=\"([^\"]*)\"", "abc"},
             {"NAME=\"TOK\" value=\"x\"", "name=\"tok\" value=\"([^\"]*)\"", "x"},  // case ignored
             {"value=123", "value=\\d+", ""},                                       // no group
             {"value=123", "value=(x)?\\d+", ""},                                   // group not taking part
             {"nothing", "value=(\\d+)", ""},
             {"abc", "([a-", ""},  // invalid pattern
             {"abc", "(*)", ""},
         }) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(HtmlUtils::firstMatch(c.html, c.pattern), c.result);
    }
}

// Inputs of a size that crashes std::regex with these patterns.
TEST(HtmlUtilsBigInput, OneMegabyteRow) {
    std::string inner = "<td>" + std::string(kMiB, 'x') + "</td>";
    std::string html = "<table><tr class=r onmouseover=\"h(this)\">" + inner + "</tr></table>";
    EXPECT_EQ(HtmlUtils::extractDataRows(html), Rows{inner});
    EXPECT_EQ(HtmlUtils::extractCells(inner), Rows{std::string(kMiB, 'x')});
    EXPECT_EQ(HtmlUtils::stripHtml(html), std::string(kMiB, 'x'));
}

TEST(HtmlUtilsBigInput, UnterminatedRowFollowedByTenMegabytes) {
    std::string html = "<tr onmouseover=a><td>1</td></tr><tr onmouseover=b>";
    size_t cells = 1;
    for (; html.size() < 10 * kMiB; ++cells) html += "<td>cell \xd0\x90</td>\n";
    EXPECT_EQ(HtmlUtils::extractDataRows(html), Rows{"<td>1</td>"});
    EXPECT_EQ(HtmlUtils::extractCells(html).size(), cells);
}

TEST(HtmlUtilsBigInput, OneMegabyteTag) {
    std::string attrs(kMiB, 'a');
    EXPECT_EQ(HtmlUtils::stripHtml("x<" + attrs + ">y"), "x y");
    EXPECT_EQ(HtmlUtils::extractDataRows("<tr " + attrs + " onmouseover>r</tr>"), Rows{"r"});
    EXPECT_EQ(HtmlUtils::extractDataRows("<tr " + attrs + ">r</tr>"), Rows{});
    EXPECT_EQ(HtmlUtils::extractCells("<td " + attrs + ">c</td>"), Rows{"c"});
    // An unclosed tag: the text stays as it is.
    EXPECT_EQ(HtmlUtils::stripHtml("<" + attrs), "<" + attrs);
}

TEST(HtmlUtilsBigInput, OneMegabyteWhitespaceRun) {
    std::string run;
    while (run.size() < kMiB) run += " \t\r\n\v\f";
    EXPECT_EQ(HtmlUtils::stripHtml("a" + run + "b"), "a b");
    EXPECT_EQ(HtmlUtils::stripHtml(run), "");
    EXPECT_EQ(HtmlUtils::extractDataRows("<tr" + run + "onmouseover>" + run + "</tr>"), Rows{run});
}

TEST(HtmlUtilsBigInput, ManyRowTagsSharingOneUnclosedTag) {
    // Each "<tr " would rescan the rest of the input in a naive scanner.
    std::string html;
    while (html.size() < kMiB) html += "<tr <td ";
    html += "onmouseover>r</tr></td>";
    EXPECT_EQ(HtmlUtils::extractDataRows(html), Rows{"r"});
    EXPECT_EQ(HtmlUtils::extractCells(html), Rows{"r</tr>"});
}
