#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "infrastructure/http/CurlText.h"

using namespace tavo::core::infra::http;

TEST(ParseHeaderLine, SplitsAtTheFirstColonAndTrimsOnlyTheAgreedEnds) {
    struct Case {
        const char* line;
        std::optional<std::pair<std::string, std::string>> expected;
    };
    const Case cases[] = {
        {"Content-Type: text/html\r\n", std::make_pair("Content-Type", "text/html")},
        {"X-Pad:\t \tvalue  \r\n", std::make_pair("X-Pad", "value  ")},
        {"Location: https://h/x?a=b:c\r\n", std::make_pair("Location", "https://h/x?a=b:c")},
        {"lower-case:v\n", std::make_pair("lower-case", "v")},
        {"Empty:\r\n", std::make_pair("Empty", "")},
        {"Blank:   \r\n", std::make_pair("Blank", "")},
        {": anonymous\r\n", std::make_pair("", "anonymous")},
        {"Name : spaced\r\n", std::make_pair("Name ", "spaced")},
        {"HTTP/1.1 200 OK\r\n", std::nullopt},
        {"\r\n", std::nullopt},
        {"  folded continuation\r\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parseHeaderLine(c.line), c.expected);
    }
}

TEST(RedactCurlInfo, ReplacesCookieValuesAndDropsQueries) {
    struct Case {
        const char* line;
        const char* expected;
    };
    const Case cases[] = {
        {R"(Added cookie JSESSIONID="s3cr3t" for domain portal.nra.bg, path /, expire 0)",
         R"(Added cookie JSESSIONID="[redacted]" for domain portal.nra.bg, path /, expire 0)"},
        {R"(Replaced cookie T="a"b" for domain x" for domain .nra.bg, path /p, expire 9)",
         R"(Replaced cookie T="[redacted]" for domain .nra.bg, path /p, expire 9)"},
        {R"(Added cookie cut="value-without-tail)", R"(Added cookie cut="[redacted])"},
        // A URL in the name must not lose its query into the value's opening quote.
        {R"(Added cookie x://h/p=?q"k="v" for domain d)", R"(Added cookie x://h/p=="[redacted]" for domain d)"},
        {R"(Added cookie ://=?")", "Added cookie ://="},
        {"Issue another request to this URL: 'https://login.nra.bg/cb?code=123456&state=x'",
         "Issue another request to this URL: 'https://login.nra.bg/cb'"},
        {"Connected to portal.nra.bg (127.0.0.1) port 443 from https://a/x?q=1 to https://b/y#frag",
         "Connected to portal.nra.bg (127.0.0.1) port 443 from https://a/x to https://b/y"},
        {"Connected to portal.nra.bg (127.0.0.1) port 443 (#0)",
         "Connected to portal.nra.bg (127.0.0.1) port 443 (#0)"},
        {"Connected to https://", "Connected to https://"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(redactCurlInfo(c.line), c.expected);
        EXPECT_EQ(redactCurlInfo(c.expected), c.expected);  // a logged line reads the same again
    }
    EXPECT_EQ(urlForLog("https://h/p?k=v#f"), "https://h/p");
}

TEST(RedactCurlInfo, KeepsOnlyLinesKnownToCarryNoSecret) {
    struct Case {
        const char* line;
        const char* expected;
    };
    const Case cases[] = {
        // HTTP/2 request headers: names only, whatever the header.
        {"h2h3 [cookie: SESSION=abc; selectedContext=123]", "h2h3 [cookie: [redacted]"},
        {"h2h3 [:path: /auth/callback?code=5521]", "h2h3 [:path: [redacted]"},
        {"h2h3 [authorization: Bearer sk-1]", "h2h3 [authorization: [redacted]"},
        {"h2h3 [x-key: ]", "h2h3 [x-key: [redacted]"},
        {"[HTTP/2] [1] [cookie: SESSION=abc]", "[HTTP/2] [1] [cookie: [redacted]"},
        {"h2h3 [no value at all]", "[withheld]"},
        // Anything else could be a header or a body in a later libcurl.
        {"Server auth using Bearer with user 'sk-1'", "[withheld]"},
        {"Cookie: SESSION=abc", "[withheld]"},
        {"GET /auth/callback?code=5521 HTTP/1.1", "[withheld]"},
        {"[withheld]", "[withheld]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(redactCurlInfo(c.line), c.expected);
        EXPECT_EQ(redactCurlInfo(c.expected), c.expected);
    }
    // Connection, TLS, ALPN and status lines stand as they are.
    for (const char* kept :
         {"ALPN: server accepted h2", "TLSv1.3 (IN), TLS handshake, Finished (20):", "  Trying 127.0.0.1:443...",
          "using HTTP/2", " SSL certificate verify ok.", "Connection #0 to host portal.nra.bg left intact"}) {
        EXPECT_EQ(redactCurlInfo(kept), kept);
    }
}
