#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "infrastructure/java/LineAccumulator.h"

using tavo::stampit::LineAccumulator;

namespace {

using Lines = std::vector<std::string>;

Lines splitInChunks(const std::string& input, const std::vector<size_t>& cuts) {
    Lines lines;
    LineAccumulator acc([&](const std::string& l) { lines.push_back(l); });
    size_t from = 0;
    for (size_t cut : cuts) {
        acc.feed(input.data() + from, cut - from);
        from = cut;
    }
    acc.feed(input.data() + from, input.size() - from);
    acc.finish();
    return lines;
}

struct Case {
    const char* name;
    std::string input;
    Lines expected;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"crlf, lf, empty line, last without newline", "a\r\nb\n\nc", {"a", "b", "", "c"}},
        {"only newlines", "\n\n", {"", ""}},
        {"lone carriage return stays inside a line", "a\rb\n", {"a\rb"}},
        {"only the carriage return next to the feed goes", "x\r\r\n", {"x\r"}},
        {"last partial line keeps its carriage return", "c\r", {"c\r"}},
        {"empty input", "", {}},
        {"bytes pass undecoded",
         std::string("\xff\x00\xc3\n", 4) + "\xd0\xbf",
         {std::string("\xff\x00\xc3", 3), "\xd0\xbf"}},
    };
    return all;
}

}  // namespace

TEST(LineAccumulator, SameLinesForEveryTwoAndThreeWaySplit) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(splitInChunks(c.input, {}), c.expected);
        for (size_t i = 0; i <= c.input.size(); ++i) {
            for (size_t j = i; j <= c.input.size(); ++j) {
                SCOPED_TRACE("cuts at " + std::to_string(i) + "," + std::to_string(j));
                ASSERT_EQ(splitInChunks(c.input, {i, j}), c.expected);
            }
        }
    }
}

TEST(LineAccumulator, ByteByByteAcrossCrLf) {
    std::string input = "first\r\nsecond\r\n";
    std::vector<size_t> cuts;
    for (size_t i = 1; i < input.size(); ++i) cuts.push_back(i);
    EXPECT_EQ(splitInChunks(input, cuts), (Lines{"first", "second"}));
}

TEST(LineAccumulator, LongLineArrivesWhole) {
    std::string longLine(100000, 'x');
    std::string input = longLine + "\nend";
    std::vector<size_t> cuts;
    for (size_t i = 4096; i < input.size(); i += 4096) cuts.push_back(i);
    EXPECT_EQ(splitInChunks(input, cuts), (Lines{longLine, "end"}));
}

TEST(LineAccumulator, LineIsNotRepeatedAfterHandlerThrew) {
    Lines lines;
    bool thrown = false;
    LineAccumulator acc([&](const std::string& l) {
        if (l == "bad" && !thrown) {
            thrown = true;
            throw std::runtime_error("handler refused");
        }
        lines.push_back(l);
    });
    acc.feed("ba", 2);
    EXPECT_THROW(acc.feed("d\nnext\n", 7), std::runtime_error);
    acc.feed("after\n", 6);
    acc.finish();
    EXPECT_EQ(lines, (Lines{"after"}));
}

TEST(LineAccumulator, LineOverTheCapStopsTheSplitter) {
    struct CapCase {
        const char* name;
        std::string input;
        std::vector<size_t> cuts;
        Lines expected;
        bool overflowed;
    };
    for (const CapCase& c : {
             CapCase{"lines at the cap pass", "abcd\nefg\r\nij", {}, {"abcd", "efg", "ij"}, false},
             CapCase{"a whole line over the cap in one chunk", "ab\nabcde\nzz\n", {}, {"ab"}, true},
             CapCase{"a line that grows over the cap across chunks", "ab\nabcde", {4, 5, 6}, {"ab"}, true},
             CapCase{"a long tail without a line feed", "abcdef", {}, {}, true},
             CapCase{"input after the overflow is dropped", "abcdefg\nok\n", {3, 9}, {}, true},
         }) {
        SCOPED_TRACE(c.name);
        Lines lines;
        LineAccumulator acc([&](const std::string& l) { lines.push_back(l); }, 4);
        size_t from = 0;
        for (size_t cut : c.cuts) {
            acc.feed(c.input.data() + from, cut - from);
            from = cut;
        }
        acc.feed(c.input.data() + from, c.input.size() - from);
        acc.finish();
        EXPECT_EQ(lines, c.expected);
        EXPECT_EQ(acc.overflowed(), c.overflowed);
    }
}
