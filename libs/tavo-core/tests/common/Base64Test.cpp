#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "common/Base64.h"
#include "support/TempDir.h"

namespace b64 = tavo::core::common::base64;
using tavo::test::runCommand;

namespace {
std::string enc(const std::string& s) {
    return b64::encode(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}
std::string dec(std::string_view s) {
    auto v = b64::decode(s);
    return std::string(v.begin(), v.end());
}
std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}
}  // namespace

TEST(Base64, PaddingByLength) {
    struct Case {
        std::string in, out;
    };
    for (const Case& c : {Case{"", ""},
                          {"f", "Zg=="},
                          {"fo", "Zm8="},
                          {"foo", "Zm9v"},
                          {"foob", "Zm9vYg=="},
                          {"fooba", "Zm9vYmE="},
                          {"foobar", "Zm9vYmFy"},
                          {std::string("\0\xff", 2), "AP8="}}) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(enc(c.in), c.out);
        EXPECT_EQ(dec(c.out), c.in);
    }
}

TEST(Base64, DecodingIsLenient) {
    struct Case {
        const char* text;
        std::string bytes;
    };
    for (const Case& c : {Case{"Zm9v\nYmFy", "foobar"},
                          {"Zm9vYg", "foob"},
                          {"Zm9vYg===", "foob"},
                          {"Z m 9 v", "foo"},
                          {"", ""},
                          {"=\n\r !*", ""},
                          {"Zg==Zg==", "f\x06`"},
                          {"Z", ""}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(dec(c.text), c.bytes);
    }
}

TEST(Base64, ForeignCharactersAreFoundBlanksAndPaddingAreNot) {
    struct Case {
        std::string text;
        std::optional<size_t> at;
    };
    const Case cases[] = {
        {"", std::nullopt},
        {"Zm9vYmFy", std::nullopt},
        {"Zm9v\r\nYmE=\n", std::nullopt},
        {" Z m 9 v\t", std::nullopt},
        {"Zg==", std::nullopt},
        {"Zg= =\n", std::nullopt},
        {"Zm9v-Ym", 4},  // the URL-safe alphabet is another alphabet
        {"Zm9v_", 4},
        {"Декларацията е отхвърлена", 0},  // words, not a document
        {"Zg==Zg==", 4},                   // data after the padding
        {std::string("Zm\0v", 4), 2},
        {"Zm9v.", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(b64::firstForeignCharacter(c.text), c.at);
    }
    for (unsigned seed = 0; seed < 50; ++seed) EXPECT_FALSE(b64::firstForeignCharacter(enc(randomBytes(seed, seed))));
}

TEST(Base64, AgreesWithCoreutils) {
    tavo::test::TempDir dir;
    for (size_t n : {0u, 1u, 2u, 3u, 57u, 1000u, 65537u}) {
        SCOPED_TRACE(n);
        std::string bytes = randomBytes(n, static_cast<unsigned>(n));
        tavo::test::writeFile(dir / "in.bin", bytes);
        std::string expected;
        ASSERT_EQ(runCommand("base64 -w0 '" + (dir / "in.bin").string() + "'", &expected, false), 0);
        EXPECT_EQ(enc(bytes), expected);
        std::string wrapped;
        ASSERT_EQ(runCommand("base64 -w76 '" + (dir / "in.bin").string() + "'", &wrapped, false), 0);
        EXPECT_EQ(dec(wrapped), bytes);
    }
}

// Lengths around the encoder's six- and three-byte steps.
TEST(Base64, EveryShortLengthAgreesWithCoreutils) {
    tavo::test::TempDir dir;
    for (size_t n = 4; n <= 26; ++n) {
        SCOPED_TRACE(n);
        std::string bytes = randomBytes(n, static_cast<unsigned>(n + 100));
        tavo::test::writeFile(dir / "in.bin", bytes);
        std::string expected;
        ASSERT_EQ(runCommand("base64 -w0 '" + (dir / "in.bin").string() + "'", &expected, false), 0);
        EXPECT_EQ(enc(bytes), expected);
        EXPECT_EQ(dec(expected), bytes);
    }
}
