#include "infrastructure/parsing/HttpDate.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using tavo::core::infra::parsing::parseHttpDate;

// Only the form servers send is read; anything else is no date, so that a
// caller falls back to its own clock rather than trust a misread one.
TEST(HttpDate, OnlyTheImfFixdateForm) {
    struct Case {
        const char* value;
        std::optional<std::time_t> instant;
    };
    for (const Case& c : std::vector<Case>{
             {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
             {" Sun, 06 Nov 1994 08:49:37 GMT\r\n", 784111777},
             {"Thu, 29 Feb 2024 23:59:60 GMT", 1709251200},  // a leap second
             {"Sunday, 06-Nov-94 08:49:37 GMT", std::nullopt},
             {"Sun Nov  6 08:49:37 1994", std::nullopt},
             {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
             {"Sun, 6 Nov 1994 08:49:37 GMT", std::nullopt},
             {"Sun, 06 nov 1994 08:49:37 GMT", std::nullopt},
             {"Mon, 06 Nov 1994 08:49:37 GMT", std::nullopt},  // 6 November 1994 was a Sunday
             {"Fri, 30 Feb 2024 08:49:37 GMT", std::nullopt},
             {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
             {"Sun, 06 Nov 1994 08:60:00 GMT", std::nullopt},
             {"Sun, 06 Nov 1994 08:49:61 GMT", std::nullopt},
             {"Sun, 06 Nov 1994 08:49:3x GMT", std::nullopt},
             {"Sun, 06 Nov 1994 08:49:37 GMT, Mon", std::nullopt},
             {"Sun, 06 Nov 1994 08.49.37 GMT", std::nullopt},
         }) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(parseHttpDate(c.value), c.instant);
    }
}
