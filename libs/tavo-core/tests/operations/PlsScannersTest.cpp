// The linear scanners standing in for the upload verdict's and the listing's
// fixed patterns give exactly what std::regex gives on inputs small enough
// for it, and survive inputs that crash it.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "operations/PlsResultsExecutor.h"
#include "operations/PlsSubmissionExecutor.h"

namespace {

using tavo::core::operations::listing::findDocumentId;
using tavo::core::operations::upload::findPid;

std::string regexGroup(const std::regex& re, const std::string& text) {
    std::smatch m;
    if (!std::regex_search(text, m, re)) return {};
    return m[1].str();
}

// Random text from the patterns' own tokens, so that many inputs match.
std::string randomInput(std::mt19937& rng, const std::vector<std::string>& tokens) {
    std::uniform_int_distribution<size_t> count(0, 12), pick(0, tokens.size() - 1);
    std::string out;
    for (size_t n = count(rng); n > 0; --n) out += tokens[pick(rng)];
    return out;
}

struct Differential {
    const char* name;
    const char* pattern;
    std::string (*scanner)(std::string_view);
    std::vector<std::string> tokens;
};

TEST(PlsScanners, AgreeWithStdRegex) {
    const std::vector<std::string> common = {" ",        "\t", "\n", "\r", "\v", "\f", "=",        ":",
                                             "\"",       "'",  "0",  "7",  "42", "x",  "<a href=", "&",
                                             "\xD0\x9F", "?",  "9",  "-",  "'1", "\"5"};
    std::vector<Differential> cases = {
        {"pid", R"((?:^|[^A-Za-z0-9_])pid[=:]\s*["']?(\d+))", &findPid, common},
        {"docid", R"((?:^|[^A-Za-z0-9_])(?:pid|ipdoc_id)\s*=\s*["']?(\d+))", &findDocumentId, common},
    };
    cases[0].tokens.insert(cases[0].tokens.end(), {"pid", "PID", "Pid", "pId=", "pid:", "p", "id", "ppid=", "pid=1",
                                                   "appId:", "tpId=", "_", "a", "PID: '2", "pid:\"3", "pid= 4"});
    cases[1].tokens.insert(cases[1].tokens.end(), {"pid", "PID", "ipdoc_id", "IPDOC_ID", "IpDoc_Id", "ipdoc", "_id",
                                                   "pid =", "ipdoc_id =", "pid=1", "rapid =", "xipdoc_id=", " pid=6",
                                                   "_", "IPDOC_ID = '2", "ipdoc_id=\"3", "Pid =4"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::regex re(c.pattern, std::regex::ECMAScript | std::regex::icase);
        std::mt19937 rng(20240601);
        int matched = 0;
        const int total = 20000;
        for (int i = 0; i < total; ++i) {
            std::string input = randomInput(rng, c.tokens);
            std::string expected = regexGroup(re, input);
            ASSERT_EQ(c.scanner(input), expected) << "input: [" << input << "]";
            if (!expected.empty()) ++matched;
        }
        EXPECT_GE(matched, total / 3);
    }
}

TEST(PlsScanners, KnownCases) {
    struct Case {
        const char* text;
        const char* pid;
        const char* docId;
    };
    for (const Case& c : {Case{"PID: '12345'", "12345", ""},
                          {"pid=  \"7\" pid=8", "7", "7"},
                          {"ipdoc_id = '77'", "", "77"},
                          {"IPDOC_ID='77'", "", "77"},
                          {"pid = 5", "", "5"},
                          {"pid=x pid:9", "9", ""},
                          {"pid=", "", ""},
                          {"pid:\"\"12", "", ""},
                          // "pid" inside another word: the login host's settings, a cookie name.
                          {"{appId:2} rapid=7 ?pid=8", "8", "8"},
                          {"_pid=3 xipdoc_id=4", "", ""},
                          {"javascript:showResult(99999)", "", ""},
                          {"", "", ""}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(findPid(c.text), c.pid);
        EXPECT_EQ(findDocumentId(c.text), c.docId);
    }
}

TEST(PlsScanners, LongRunsReturn) {
    const std::string digits(200000, '7');
    const std::string blanks(200000, ' ');
    EXPECT_EQ(findPid("pid=" + digits), digits);
    EXPECT_EQ(findPid("pid:" + blanks + "'1"), "1");
    EXPECT_EQ(findDocumentId("ipdoc_id" + blanks + "=" + blanks + digits), digits);
    EXPECT_EQ(findDocumentId(std::string(100000, 'p') + "id"), "");
}

}  // namespace
