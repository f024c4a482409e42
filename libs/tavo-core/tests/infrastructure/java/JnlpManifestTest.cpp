// Manifest parsing: the scanners against std::regex with the patterns they
// stand for, on small random manifests built from the manifest's own tokens
// (std::regex overflows the stack on large ones, which is why the scanners
// exist), then the platform filter and the large inputs.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <unordered_set>
#include <vector>

#include "infrastructure/java/JnlpDownloader.h"
#include "infrastructure/java/ManifestScanner.h"

namespace {

using tavo::stampit::JnlpDownloader;
using tavo::stampit::JnlpManifest;
using tavo::stampit::JnlpResource;
namespace formats = tavo::stampit::formats;

constexpr int kInputs = 3000;
constexpr std::size_t kMaxInput = 400;
constexpr auto kFlags = std::regex::ECMAScript | std::regex::icase;

const std::regex& codebaseRe() {
    static const std::regex re("<jnlp[^>]*codebase=\"([^\"]+)\"", kFlags);
    return re;
}
const std::regex& resourcesRe() {
    static const std::regex re("<resources\\b([^>]*)>([\\s\\S]*?)</resources>", kFlags);
    return re;
}
const std::regex& cutRe() {
    static const std::regex re("<resources\\b[^>]*>[\\s\\S]*?</resources>", kFlags);
    return re;
}
const std::regex& osRe() {
    static const std::regex re("\\bos=\"([^\"]*)\"", kFlags);
    return re;
}
const std::regex& archRe() {
    static const std::regex re("\\barch=\"([^\"]*)\"", kFlags);
    return re;
}
const std::regex& jarRe() {
    static const std::regex re("<(?:jar|nativelib)[^>]*\\bhref=\"([^\"]+)\"(?:[^>]*\\bsize=\"([^\"]+)\")?", kFlags);
    return re;
}

using Tokens = std::vector<std::string>;
const Tokens kNoise = {" ", "\n", "\t", "a", "x", "=", "\"", "<", ">", "/", "_", "-", "\\", "1", "\xd0\x9c", "\"\""};
const Tokens kJnlp = {"<jnlp", "<jnlp ", "<jnlp", "<JNLP ", "<jnlpx", "<Jnlp\n", "<jnl"};
const Tokens kCodebase = {" codebase=\"", " codebase=\"", " CODEBASE=\"", "codebase=", "xcodebase=\"", "codebase=\"\""};
const Tokens kUrl = {"https://portal.nra.bg/ls", "https://h/ls/", "a>b", "", "x", "https://portal.nra.bg/ls/"};
const Tokens kResOpen = {"<resources",  "<resources",  "<RESOURCES", "<resourcesx",
                         "<resources_", "<resources-", "<Resources "};
const Tokens kAttr = {" os=\"", " OS=\"", "xos=\"", " arch=\"", " ARCH=\"", "-arch=\"", "_os=\"", "os="};
const Tokens kAttrValue = {"Mac OS X", "Mac\\ OS\\ X", "Windows", "x86_64 aarch64", "aarch64", "", "mac os x"};
const Tokens kResClose = {"</resources>", "</resources>",  "</RESOURCES>",
                          "</resources",  "</ resources>", "</Resources>"};
const Tokens kJarOpen = {"<jar", "<JAR", "<nativelib", "<NativeLib", "<jarx", "<native", "<jar\n"};
const Tokens kHref = {" href=\"", " HREF=\"", "xhref=\"", "href=", "\thref=\"", "_href=\""};
const Tokens kHrefValue = {"a.jar", "lib/b.jar", "native/c.jar", "", "x>y", "https://h/d.jar"};
const Tokens kSize = {" size=\"", " SIZE=\"", "_size=\"", "size=", "-size=\""};
const Tokens kSizeValue = {"12", "", "3>4", "99"};
const Tokens kEnd = {"/>", ">", "\"", "\"/>", ""};

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    const std::string& pick(const Tokens& t) { return t[std::uniform_int_distribution<size_t>(0, t.size() - 1)(rng_)]; }
    bool chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng_) < percent; }
    std::string noise(int maxTokens) {
        std::string s;
        for (int n = std::uniform_int_distribution<int>(0, maxTokens)(rng_); n > 0; --n) s += pick(kNoise);
        return s;
    }
    std::string maybe(const std::string& s, int percent = 85) { return chance(percent) ? s : noise(2); }

    std::string jar() {
        std::string s = pick(kJarOpen) + noise(2) + maybe(pick(kHref)) + pick(kHrefValue) + maybe("\"");
        if (chance(60)) s += noise(2) + maybe(pick(kSize)) + pick(kSizeValue) + maybe("\"");
        return s + pick(kEnd) + noise(2);
    }
    std::string attrs() {
        std::string s;
        for (int n = std::uniform_int_distribution<int>(0, 2)(rng_); n > 0; --n)
            s += pick(kAttr) + pick(kAttrValue) + maybe("\"") + noise(1);
        return s;
    }
    std::string block() {
        std::string s = pick(kResOpen) + attrs() + maybe(">", 90) + noise(2);
        for (int n = std::uniform_int_distribution<int>(0, 3)(rng_); n > 0; --n) s += jar();
        return s + maybe(pick(kResClose), 90) + noise(2);
    }
    std::string manifest() {
        std::string s = noise(3);
        if (chance(85))
            s += pick(kJnlp) + noise(2) + maybe(pick(kCodebase)) + pick(kUrl) + maybe("\"") + noise(2) + ">";
        for (int n = std::uniform_int_distribution<int>(1, 3)(rng_); n > 0; --n) s += chance(70) ? block() : jar();
        return cap(s);
    }
    // Attribute texts on their own, as the os and arch searches see them.
    std::string attributeText() { return cap(noise(2) + attrs() + noise(2) + attrs()); }

private:
    static std::string cap(std::string s) { return s.size() > kMaxInput ? s.substr(0, kMaxInput) : s; }
    std::mt19937 rng_;
};

std::string printable(const std::string& s) {
    std::string out;
    for (char c : s) out += (c == '\n') ? std::string("\\n") : std::string(1, c);
    return out;
}

struct DifferentialCase {
    const char* name;
    uint32_t seed;
};

TEST(JnlpScanners, CodebaseEqualsThePattern) {
    Generator g(11);
    int matching = 0;
    for (int i = 0; i < kInputs; ++i) {
        std::string s = g.manifest();
        std::smatch m;
        std::optional<std::string> expected;
        if (std::regex_search(s, m, codebaseRe())) expected = m[1].str();
        matching += expected.has_value();
        ASSERT_EQ(formats::findCodebase(s), expected) << "input: " << printable(s);
    }
    EXPECT_GE(matching, kInputs / 3);
}

TEST(JnlpScanners, ResourcesBlocksEqualThePattern) {
    Generator g(12);
    int matching = 0;
    for (int i = 0; i < kInputs; ++i) {
        std::string s = g.manifest();
        std::vector<formats::ResourcesBlock> expected;
        for (std::sregex_iterator it(s.begin(), s.end(), resourcesRe()), end; it != end; ++it) {
            formats::ResourcesBlock b;
            b.begin = static_cast<size_t>(it->position(0));
            b.end = b.begin + static_cast<size_t>(it->length(0));
            b.attributes = (*it)[1].str();
            b.body = (*it)[2].str();
            expected.push_back(b);
        }
        matching += !expected.empty();
        auto actual = formats::findResourcesBlocks(s);
        ASSERT_EQ(actual.size(), expected.size()) << "input: " << printable(s);
        for (size_t k = 0; k < actual.size(); ++k) {
            ASSERT_EQ(actual[k].begin, expected[k].begin) << "input: " << printable(s);
            ASSERT_EQ(actual[k].end, expected[k].end) << "input: " << printable(s);
            ASSERT_EQ(actual[k].attributes, expected[k].attributes) << "input: " << printable(s);
            ASSERT_EQ(actual[k].body, expected[k].body) << "input: " << printable(s);
        }
        ASSERT_EQ(formats::cutResourcesBlocks(s), std::regex_replace(s, cutRe(), "")) << "input: " << printable(s);
    }
    EXPECT_GE(matching, kInputs / 3);
}

TEST(JnlpScanners, OsAndArchAttributesEqualThePatterns) {
    Generator g(13);
    int matching = 0;
    for (int i = 0; i < kInputs; ++i) {
        std::string s = g.attributeText();
        for (const auto& [name, re] : {std::pair<const char*, const std::regex*>{"os", &osRe()}, {"arch", &archRe()}}) {
            std::smatch m;
            std::optional<std::string> expected;
            if (std::regex_search(s, m, *re)) expected = m[1].str();
            matching += expected.has_value();
            ASSERT_EQ(formats::findAttribute(s, name), expected) << name << " in: " << printable(s);
        }
    }
    EXPECT_GE(matching, 2 * kInputs / 3);
}

TEST(JnlpScanners, JarElementsEqualThePattern) {
    Generator g(14);
    int matching = 0;
    for (int i = 0; i < kInputs; ++i) {
        std::string s = g.manifest();
        std::vector<std::pair<std::string, std::string>> expected, actual;
        for (std::sregex_iterator it(s.begin(), s.end(), jarRe()), end; it != end; ++it)
            expected.emplace_back((*it)[1].str(), (*it)[2].matched ? (*it)[2].str() : "");
        for (const auto& j : formats::findJars(s)) actual.emplace_back(j.href, j.size);
        matching += !expected.empty();
        ASSERT_EQ(actual, expected) << "input: " << printable(s);
    }
    EXPECT_GE(matching, kInputs / 3);
}

// The whole parse as the patterns would run it, for the differential below.
JnlpManifest parseWithRegex(const std::string& xml) {
    JnlpManifest out;
    std::smatch m;
    if (std::regex_search(xml, m, codebaseRe())) out.codebase = m[1].str();
    if (out.codebase.empty()) out.codebase = "https://portal.nra.bg/ls";
    for (std::sregex_iterator it(xml.begin(), xml.end(), resourcesRe()), end; it != end; ++it) {
        std::string attrs = (*it)[1].str(), body = (*it)[2].str(), os, arch;
        if (std::regex_search(attrs, m, osRe())) os = m[1].str();
        if (std::regex_search(attrs, m, archRe())) arch = m[1].str();
        if (!JnlpDownloader::anyTokenMatches(os, "Mac OS X") || !JnlpDownloader::anyTokenMatches(arch, "aarch64"))
            continue;
        for (std::sregex_iterator j(body.begin(), body.end(), jarRe()); j != end; ++j)
            out.resources.push_back({(*j)[1].str(), (*j)[2].matched ? (*j)[2].str() : ""});
    }
    std::string rest = std::regex_replace(xml, cutRe(), "");
    for (std::sregex_iterator j(rest.begin(), rest.end(), jarRe()), end; j != end; ++j) {
        bool dup = false;
        for (const auto& r : out.resources) dup = dup || r.href == (*j)[1].str();
        if (!dup) out.resources.push_back({(*j)[1].str(), (*j)[2].matched ? (*j)[2].str() : ""});
    }
    return out;
}

TEST(JnlpScanners, WholeParseEqualsThePatterns) {
    Generator g(15);
    int withResources = 0;
    for (int i = 0; i < kInputs; ++i) {
        std::string s = g.manifest();
        JnlpManifest expected = parseWithRegex(s), actual = JnlpDownloader::parseJnlp(s);
        withResources += !expected.resources.empty();
        ASSERT_EQ(actual.codebase, expected.codebase) << "input: " << printable(s);
        ASSERT_EQ(actual.resources.size(), expected.resources.size()) << "input: " << printable(s);
        for (size_t k = 0; k < actual.resources.size(); ++k) {
            ASSERT_EQ(actual.resources[k].href, expected.resources[k].href) << "input: " << printable(s);
            ASSERT_EQ(actual.resources[k].size, expected.resources[k].size) << "input: " << printable(s);
        }
    }
    EXPECT_GE(withResources, kInputs / 3);
}

std::vector<std::string> hrefs(const JnlpManifest& m) {
    std::vector<std::string> out;
    for (const auto& r : m.resources) out.push_back(r.href);
    return out;
}

TEST(JnlpManifest, PlatformVariants) {
    struct Case {
        const char* name;
        std::string xml;
        std::string codebase;
        std::vector<std::string> hrefs;
    };
    const std::string head = "<?xml version=\"1.0\"?>\n<jnlp spec=\"1.0+\" codebase=\"https://portal.nra.bg/ls/\">\n";
    const Case cases[] = {
        {"no codebase: the default",
         "<jnlp spec=\"1.0+\"><resources><jar href=\"a.jar\"/></resources></jnlp>",
         "https://portal.nra.bg/ls",
         {"a.jar"}},
        {"block without os and arch applies",
         head + "<resources><jar href=\"a.jar\"/></resources>",
         "https://portal.nra.bg/ls/",
         {"a.jar"}},
        {"Windows only does not apply",
         head +
             "<resources os=\"Windows\"><jar href=\"w.jar\"/></resources><resources><jar href=\"a.jar\"/></resources>",
         "https://portal.nra.bg/ls/",
         {"a.jar"}},
        {"escaped blanks, other arch listed",
         head + "<resources os=\"Mac\\ OS\\ X\" arch=\"x86_64 aarch64\"><nativelib href=\"native/m.jar\"/></resources>",
         "https://portal.nra.bg/ls/",
         {"native/m.jar"}},
        {"lower case os",
         head + "<resources os=\"mac os x\"><jar href=\"m.jar\"/></resources>",
         "https://portal.nra.bg/ls/",
         {"m.jar"}},
        {"os listing Mac and Linux does not apply",
         head + "<resources os=\"Mac\\ OS\\ X Linux\"><jar href=\"l.jar\"/></resources>",
         "https://portal.nra.bg/ls/",
         {}},
        {"x86_64 only does not apply",
         head + "<resources os=\"Mac OS X\" arch=\"x86_64\"><jar href=\"i.jar\"/></resources>",
         "https://portal.nra.bg/ls/",
         {}},
        {"top-level duplicate listed once",
         head + "<resources><jar href=\"a.jar\"/></resources><jar href=\"a.jar\"/><jar href=\"b.jar\"/><jar "
                "href=\"b.jar\"/>",
         "https://portal.nra.bg/ls/",
         {"a.jar", "b.jar"}},
        {"same href in two applying blocks listed twice",
         head + "<resources><jar href=\"a.jar\"/></resources><resources arch=\"aarch64\"><jar "
                "href=\"a.jar\"/></resources>",
         "https://portal.nra.bg/ls/",
         {"a.jar", "a.jar"}},
        {"capitals",
         "<JNLP CODEBASE=\"https://x/\"><RESOURCES><JAR HREF=\"UP.JAR\" SIZE=\"7\"/></RESOURCES></JNLP>",
         "https://x/",
         {"UP.JAR"}},
        {"nothing", "<html><body>Please log in</body></html>", "https://portal.nra.bg/ls", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JnlpManifest m = JnlpDownloader::parseJnlp(c.xml);
        EXPECT_EQ(m.codebase, c.codebase);
        EXPECT_EQ(hrefs(m), c.hrefs);
    }
}

TEST(JnlpManifest, SizeAttributeKeptAsWritten) {
    JnlpManifest m = JnlpDownloader::parseJnlp(
        "<jnlp><resources><jar href=\"a.jar\" size=\"1234\" main=\"true\"/><jar href=\"b.jar\"/></resources></jnlp>");
    ASSERT_EQ(m.resources.size(), 2u);
    EXPECT_EQ(m.resources[0].size, "1234");
    EXPECT_EQ(m.resources[1].size, "");
}

TEST(JnlpManifest, AnyTokenMatches) {
    struct Case {
        const char* attr;
        const char* want;
        bool matches;
    };
    const Case cases[] = {
        {"", "Mac OS X", true},
        {"Mac OS X", "Mac OS X", true},
        {"mac os x", "Mac OS X", true},
        {"Mac\\ OS\\ X", "Mac OS X", true},
        {"Mac\\ OS\\ X Linux", "Mac OS X", false},
        {"Windows", "Mac OS X", false},
        {"x86_64 aarch64", "aarch64", true},
        {"x86_64\taarch64\n", "aarch64", true},
        {"AARCH64", "aarch64", true},
        {"aarch", "aarch64", false},
        {"x86_64", "aarch64", false},
        {"aarch64\\", "aarch64", false},  // a trailing backslash stays
        {"\\a\\a\\r\\c\\h\\6\\4", "aarch64", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.attr) + " / " + c.want);
        EXPECT_EQ(JnlpDownloader::anyTokenMatches(c.attr, c.want), c.matches);
    }
}

TEST(JnlpManifest, MegabyteResourcesBlock) {
    std::string body;
    int count = 0;
    while (body.size() < (1u << 20)) {
        body += "  <jar href=\"lib/part" + std::to_string(count) + ".jar\" size=\"" + std::to_string(count) + "\"/>\n";
        ++count;
    }
    std::string xml = "<jnlp codebase=\"https://portal.nra.bg/ls\"><resources os=\"Mac OS X\">" + body +
                      "</resources><jar href=\"top.jar\"/></jnlp>";
    JnlpManifest m = JnlpDownloader::parseJnlp(xml);
    ASSERT_EQ(m.resources.size(), static_cast<size_t>(count) + 1);
    EXPECT_EQ(m.resources.front().href, "lib/part0.jar");
    EXPECT_EQ(m.resources[static_cast<size_t>(count) - 1].size, std::to_string(count - 1));
    EXPECT_EQ(m.resources.back().href, "top.jar");
}

// Shapes that make a backtracking search quadratic or recurse per byte. Each
// answer is independent of the length, so a megabyte must give what the
// patterns give on a few hundred bytes of the same shape.
TEST(JnlpManifest, MegabyteHostileInputs) {
    struct Case {
        const char* name;
        std::string prefix, unit, suffix;
    };
    const Case cases[] = {
        {"jar openers", "", "<jar ", ""},
        {"nativelib openers", "", "<nativelib", ""},
        {"href candidates without an end", "<jar", " href=\"", ""},
        {"resources openers", "", "<resources ", ""},
        {"resources never closed", "<resources>", "<jar href=\"a\"/>", ""},
        {"codebase candidates without a '>'", "", "<jnlp codebase=\"", ""},
        {"size candidates without an end", "<jar href=\"a\"", " size=\"", "\""},
        {"size candidates everywhere", "<jar href=\"a\"", " size=\"1\"", ">"},
    };
    auto build = [](const Case& c, size_t size) {
        std::string s = c.prefix;
        while (s.size() < size) s += c.unit;
        return s + c.suffix;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JnlpManifest expected = parseWithRegex(build(c, 300));
        JnlpManifest actual = JnlpDownloader::parseJnlp(build(c, 1u << 20));
        EXPECT_EQ(actual.codebase, expected.codebase);
        ASSERT_EQ(hrefs(actual), hrefs(expected));
        for (size_t k = 0; k < actual.resources.size(); ++k)
            EXPECT_EQ(actual.resources[k].size, expected.resources[k].size);
    }
}

}  // namespace
