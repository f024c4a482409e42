#include <gtest/gtest.h>

#include <openssl/err.h>

#include <string>

#include "infrastructure/tavocloud/JwtVerifier.h"
#include "support/TempDir.h"
#include "support/TestJwt.h"
#include "support/TestPki.h"

using nlohmann::json;
using tavo::core::infra::tavocloud::JwtVerifier;
using tavo::test::base64Url;
using tavo::test::makeSignedToken;
using tavo::test::TestPki;

namespace {

const std::string kHeader = R"({"alg":"RS256","typ":"JWT"})";
const std::string kPayload =
    R"({"iss":"tavo-cloud","exp":4102444800,"typeId":7,"min_ver":"0.1.0","eik":"121212121","jti":"j-1","test":false})";

struct Keys {
    tavo::test::IssuedCert rsa = TestPki::instance().issueClient("Jwt Issuer", "jwt@example.com");
    std::string publicPem = tavo::test::opensslPublicKeyPem(rsa.keyFile);
};

// Every call must leave nothing behind for the thread's next OpenSSL user.
JwtVerifier::Result checkedVerify(const std::string& token, const std::string& pem) {
    JwtVerifier::Result r;
    EXPECT_NO_THROW(r = JwtVerifier::verify(token, pem));
    EXPECT_EQ(ERR_peek_error(), 0u) << "OpenSSL error queue not empty";
    if (!r.ok) {
        EXPECT_FALSE(r.error.empty());
    } else {
        EXPECT_TRUE(r.error.empty());
    }
    return r;
}

}  // namespace

TEST(JwtVerifier, AcceptsTokensSignedByTheOpensslCommandLine) {
    Keys keys;
    std::string token = makeSignedToken(kHeader, kPayload, keys.rsa.keyFile);
    for (const std::string& pem : {keys.publicPem, keys.rsa.certPem}) {
        SCOPED_TRACE(pem.substr(0, 30));
        auto r = checkedVerify(token, pem);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.payload, json::parse(kPayload));
    }
    // No typ at all, and "=" padding on every segment, are both fine.
    std::string input = base64Url(R"({"alg":"RS256"})", true) + "." + base64Url(kPayload, true);
    std::string padded = input + "." + base64Url(tavo::test::opensslSignSha256(keys.rsa.keyFile, input), true);
    auto r = checkedVerify(padded, keys.publicPem);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.payload["jti"], "j-1");
}

TEST(JwtVerifier, RefusesEveryBadTokenWithItsMessage) {
    Keys keys;
    auto ec = TestPki::instance().issueEcClient("Jwt EC");
    const std::string good = makeSignedToken(kHeader, kPayload, keys.rsa.keyFile);
    const std::string headerSeg = good.substr(0, good.find('.'));
    const std::string signatureSeg = good.substr(good.rfind('.') + 1);
    auto withHeader = [&](const std::string& header) { return makeSignedToken(header, kPayload, keys.rsa.keyFile); };
    const std::string tampered = headerSeg + "." + base64Url(R"({"jti":"j-1","eik":"999999999"})") + "." + signatureSeg;
    const std::string privateOnly = tavo::test::readFile(keys.rsa.keyFile);

    struct Case {
        const char* name;
        std::string token;
        std::string pem;
        std::string error;
        bool prefixOnly = false;
    };
    const std::string alg = "unsupported alg (only RS256 is accepted)";
    const std::string typ = "unsupported typ (expected JWT)";
    const std::string sig = "signature verification failed";
    const Case cases[] = {
        {"no dot", "abc", keys.publicPem, "malformed JWT (no first dot)"},
        {"empty", "", keys.publicPem, "malformed JWT (no first dot)"},
        {"one dot", "abc.def", keys.publicPem, "malformed JWT (no second dot)"},
        {"header not base64url", "@@@." + base64Url(kPayload) + ".", keys.publicPem, "header base64url decode failed"},
        {"header not json", base64Url("{alg") + "." + base64Url(kPayload) + ".", keys.publicPem,
         "header JSON parse: ", true},
        {"alg none", withHeader(R"({"alg":"none","typ":"JWT"})"), keys.publicPem, alg},
        {"alg HS256", withHeader(R"({"alg":"HS256","typ":"JWT"})"), keys.publicPem, alg},
        {"alg lower case", withHeader(R"({"alg":"rs256","typ":"JWT"})"), keys.publicPem, alg},
        {"alg absent", withHeader(R"({"typ":"JWT"})"), keys.publicPem, alg},
        {"alg a number", withHeader(R"({"alg":5})"), keys.publicPem, alg},
        {"header an array", withHeader("[1]"), keys.publicPem, alg},
        {"header a string", withHeader(R"("RS256")"), keys.publicPem, alg},
        {"header null", withHeader("null"), keys.publicPem, alg},
        {"typ lower case", withHeader(R"({"alg":"RS256","typ":"jwt"})"), keys.publicPem, typ},
        {"typ other", withHeader(R"({"alg":"RS256","typ":"JWS"})"), keys.publicPem, typ},
        {"typ a number", withHeader(R"({"alg":"RS256","typ":5})"), keys.publicPem, typ},
        {"typ null", withHeader(R"({"alg":"RS256","typ":null})"), keys.publicPem, typ},
        {"payload not base64url", headerSeg + ".@@@." + signatureSeg, keys.publicPem,
         "payload base64url decode failed"},
        {"payload not json", headerSeg + "." + base64Url("{\"a\":") + "." + signatureSeg, keys.publicPem,
         "payload JSON parse: ", true},
        {"payload huge number", headerSeg + "." + base64Url(R"({"exp":1e999})") + "." + signatureSeg, keys.publicPem,
         "payload JSON parse: ", true},
        {"payload nested deeply",
         headerSeg + "." + base64Url(std::string(5000, '[') + std::string(5000, ']')) + "." + signatureSeg,
         keys.publicPem, "payload JSON parse: ", true},
        {"signature not base64url", headerSeg + "." + base64Url(kPayload) + ".@@@", keys.publicPem,
         "signature base64url decode failed"},
        {"four segments", good + ".x", keys.publicPem, "signature base64url decode failed"},
        {"empty signature", headerSeg + "." + base64Url(kPayload) + ".", keys.publicPem, sig},
        {"tampered payload", tampered, keys.publicPem, sig},
        {"other key", good, tavo::test::opensslPublicKeyPem(TestPki::instance().issueClient("Other").keyFile), sig},
        {"EC key and EC signature", makeSignedToken(kHeader, kPayload, ec.keyFile), ec.certPem, sig},
        {"private key PEM only", good, privateOnly, "failed to parse public key PEM"},
        {"no PEM", good, "hello", "failed to parse public key PEM"},
        {"empty PEM", good, "", "failed to parse public key PEM"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = checkedVerify(c.token, c.pem);
        EXPECT_FALSE(r.ok);
        if (c.prefixOnly) {
            EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << r.error;
            EXPECT_GT(r.error.size(), c.error.size());
        } else {
            EXPECT_EQ(r.error, c.error);
        }
    }
}

TEST(JwtVerifier, PayloadIsParsedBeforeTheSignatureFails) {
    Keys keys;
    std::string good = makeSignedToken(kHeader, kPayload, keys.rsa.keyFile);
    std::string unsigned_ = good.substr(0, good.rfind('.') + 1);
    auto r = checkedVerify(unsigned_, keys.publicPem);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.payload, json::parse(kPayload));
    auto refusedEarly = checkedVerify(makeSignedToken(R"({"alg":"none"})", kPayload, keys.rsa.keyFile), keys.publicPem);
    EXPECT_TRUE(refusedEarly.payload.is_null());
}

TEST(JwtVerifier, DecodeUnverifiedLooksOnlyAtThePayload) {
    struct Case {
        const char* name;
        std::string token;
        bool ok;
        std::string error;
    };
    const std::string payloadSeg = base64Url(kPayload);
    const Case cases[] = {
        {"empty signature", base64Url(kHeader) + "." + payloadSeg + ".", true, ""},
        {"alg none", base64Url(R"({"alg":"none"})") + "." + payloadSeg + ".xyz", true, ""},
        {"header garbage", "@@@." + payloadSeg + ".@@@", true, ""},
        {"no dot", "abc", false, "malformed JWT (no first dot)"},
        {"one dot", "a." + payloadSeg, false, "malformed JWT (no second dot)"},
        {"payload not base64url", "a.@@@.b", false, "payload base64url decode failed"},
        {"payload not json", "a." + base64Url("nope") + ".b", false, "payload JSON parse: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JwtVerifier::Result r;
        EXPECT_NO_THROW(r = JwtVerifier::decodeUnverified(c.token));
        EXPECT_EQ(r.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(r.payload, json::parse(kPayload));
            EXPECT_EQ(r.error, "");
        } else {
            EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << r.error;
        }
    }
}

TEST(JwtVerifier, NeverWritesTheTokenToTheLog) {
    Keys keys;
    std::string good = makeSignedToken(kHeader, kPayload, keys.rsa.keyFile);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(JwtVerifier::verify(good, keys.publicPem).ok);
    EXPECT_FALSE(JwtVerifier::verify(good + "x", keys.publicPem).ok);
    EXPECT_TRUE(JwtVerifier::decodeUnverified(good).ok);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(JwtVerifier, ChangedKeyIsNoticedBetweenCalls) {
    Keys keys;
    std::string otherPem = tavo::test::opensslPublicKeyPem(TestPki::instance().issueClient("Other").keyFile);
    std::string token = makeSignedToken(kHeader, kPayload, keys.rsa.keyFile);
    struct Step {
        std::string pem;
        std::string error;
    };
    const Step steps[] = {{keys.publicPem, ""},   {otherPem, "signature verification failed"},
                          {keys.publicPem, ""},   {"garbage", "failed to parse public key PEM"},
                          {keys.rsa.certPem, ""}, {keys.publicPem, ""}};
    int i = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(i++);
        auto r = checkedVerify(token, s.pem);
        EXPECT_EQ(r.ok, s.error.empty());
        EXPECT_EQ(r.error, s.error);
    }
}
