#include <gtest/gtest.h>

#include <string>

#include "infrastructure/security/CryptoStore.h"

using tavo::security::CryptoStore;

TEST(CryptoStore, RecognisesTheThreePrefixesExactly) {
    struct Case {
        const char* text;
        bool token;
    };
    for (const Case& c : {Case{"keychain:", true},
                          {"keychain:YWJj", true},
                          {"dpapi:AQID", true},
                          {"plain:abc", true},
                          {"keychain", false},
                          {"Keychain:x", false},
                          {"PLAIN:abc", false},
                          {" keychain:x", false},
                          {"", false},
                          {"secret", false}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(CryptoStore::isToken(c.text), c.token);
    }
}

TEST(CryptoStore, KeychainTokensRoundTrip) {
    EXPECT_EQ(CryptoStore::encrypt("abc"), std::optional<std::string>("keychain:YWJj"));
    EXPECT_EQ(CryptoStore::encrypt(""), std::optional<std::string>(""));
    for (const std::string& value : {std::string("abc"), std::string("a"), std::string("ab"),
                                     std::string("api-key-\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87"),
                                     std::string("\0\xff\n", 3), std::string(1000, 'x')}) {
        auto token = CryptoStore::encrypt(value);
        ASSERT_TRUE(token);
        EXPECT_TRUE(CryptoStore::isToken(*token));
        EXPECT_EQ(CryptoStore::decrypt(*token), std::optional<std::string>(value));
    }
    EXPECT_EQ(CryptoStore::decrypt("keychain:"), std::optional<std::string>(""));
    EXPECT_EQ(CryptoStore::decrypt(""), std::optional<std::string>(""));
    // The decoder skips what is not Base64.
    EXPECT_EQ(CryptoStore::decrypt("keychain:YW\nJj"), std::optional<std::string>("abc"));
}

TEST(CryptoStore, OtherTextsPassThrough) {
    for (const char* text : {"plain text", "keychain", "Keychain:x", "dpapi", "https://example.com/?a=b"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(CryptoStore::decrypt(text), std::optional<std::string>(text));
    }
}

TEST(CryptoStore, ForeignTokensAreUnreadableWithAWarning) {
    for (const char* text : {"plain:abc", "dpapi:AQIDBA=="}) {
        SCOPED_TRACE(text);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(CryptoStore::decrypt(text).has_value());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("[WARN ] CryptoStore: cannot decrypt non-keychain token on macOS"), std::string::npos)
            << log;
        EXPECT_EQ(log.find("abc"), std::string::npos);
    }
}
