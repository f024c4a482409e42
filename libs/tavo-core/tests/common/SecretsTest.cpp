#include "common/Secrets.h"

#include <gtest/gtest.h>

#include <string>

namespace secrets = tavo::core::common::secrets;

TEST(Secrets, BearerCredentialsAreMaskedWhereverAServerPutsThem) {
    struct Case {
        std::string text;
        std::string masked;
    };
    const Case cases[] = {
        {"Authorization: Bearer abc.def-_~+/==", "Authorization: Bearer ***"},
        {R"({"got":"bearer  k3y","x":1})", R"({"got":"bearer  ***","x":1})"},
        {"<p>BEARER\tk3y</p>; Bearer k3y, Bearer k3y&next", "<p>BEARER\t***</p>; Bearer ***, Bearer ***&next"},
        {"Bearer Bearer k3y", "Bearer Bearer ***"},
        {R"(Bearer k3y\"rest)", R"(Bearer ***\"rest)"},
        // The word alone hides nothing.
        {"bearerless bearer\nk3y; Bearer ", "bearerless bearer\nk3y; Bearer "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(secrets::maskBearerTokens(c.text), c.masked);
    }
}

TEST(Secrets, TheSecretIsMaskedEverywhereAndAnEmptyOneChangesNothing) {
    EXPECT_EQ(secrets::maskSecret("k3y=k3yk3y; k3", "k3y"), "***=******; k3");
    EXPECT_EQ(secrets::maskSecret("k3y", ""), "k3y");
    // Written back inside JSON or an address, the key is still the key.
    EXPECT_EQ(secrets::maskSecret(R"({"k":"a\/b+\"c","q":"a%2Fb%2B%22c","l":"a%2fb%2b%22c"} a/b+"c)", R"(a/b+"c)"),
              R"({"k":"***","q":"***","l":"***"} ***)");
}
