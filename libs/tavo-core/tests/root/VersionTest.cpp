#include <gtest/gtest.h>

#include "Version.h"

using tavo::core::parseVersion;
using tavo::core::VersionTriple;

TEST(Version, LibraryVersion) {
    EXPECT_EQ(tavo::core::libraryVersion(), (VersionTriple{0, 1, 0}));
    EXPECT_EQ(tavo::core::libraryVersionString(), "0.1.0");
}

TEST(Version, ParseVersion) {
    struct Case {
        const char* text;
        std::optional<VersionTriple> expected;
    };
    const std::optional<VersionTriple> none;
    for (const Case& c : {Case{"1.2.3", VersionTriple{1, 2, 3}},
                          {"1.2.3.4", VersionTriple{1, 2, 3}},
                          {"01.002.0003", VersionTriple{1, 2, 3}},
                          {"65535.0.0", VersionTriple{65535, 0, 0}},
                          {"0.0.65535.65535", VersionTriple{0, 0, 65535}},
                          {"65536.0.0", none},
                          {"1.2.3.65536", none},
                          {"1.2", none},
                          {"1.2.", none},
                          {"1.2.3.", none},
                          {"1.2.3.4.5", none},
                          {"v1.2.3", none},
                          {" 1.2.3", none},
                          {"1.2.3-beta", none},
                          {"+1.2.3", none},
                          {"", none},
                          {"1..3", none},
                          {"99999999999999999999.1.1", none}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseVersion(c.text), c.expected);
    }
}
