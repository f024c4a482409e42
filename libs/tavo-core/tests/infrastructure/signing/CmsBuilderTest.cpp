#include "infrastructure/signing/CmsBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "support/CmsCheck.h"
#include "support/FaultModule.h"
#include "support/LogCapture.h"
#include "support/TestPki.h"

using tavo::signing::CmsBuilder;
using namespace tavo::test;

namespace {

const IssuedCert& softwareCert() {
    static IssuedCert cert = TestPki::instance().issueClient("Tavo Software Signer", "signer@example.com");
    return cert;
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 131 + 7) % 251);
    return v;
}

const std::vector<std::string> kWithV2 = {"contentType", "signingTime", "messageDigest",
                                          "id-smime-aa-signingCertificateV2"};
const std::vector<std::string> kWithoutV2 = {"contentType", "signingTime", "messageDigest"};

}  // namespace

TEST(CmsBuilder, SignaturesVerifyAsCadesWithTheAskedAttributes) {
    struct Case {
        size_t size;
        bool v2;
    };
    for (const Case& c : {Case{0, true}, {5, true}, {5, false}, {100000, true}, {100000, false}}) {
        SCOPED_TRACE(std::to_string(c.size) + (c.v2 ? " with v2" : " without v2"));
        auto data = pattern(c.size);
        int calls = 0;
        auto sign = softwareRawSign(softwareCert().keyFile);
        auto sig = CmsBuilder::buildDetached(
            data, softwareCert().certDer,
            [&](const std::vector<uint8_t>& in) {
                ++calls;
                return sign(in);
            },
            c.v2);
        ASSERT_FALSE(sig.empty());
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(signedAttributeNames(sig), c.v2 ? kWithV2 : kWithoutV2);
        std::string print = printCms(sig);
        EXPECT_NE(print.find("eContent: <ABSENT>"), std::string::npos) << print;
        if (c.v2) {
            auto verdict = verifyDetachedCms(sig, data);
            EXPECT_TRUE(verdict.verified) << verdict.output;
        }
        // Verification needs the signed bytes: other bytes fail.
        auto other = data;
        other.push_back(1);
        EXPECT_FALSE(verifyDetachedCms(sig, other).verified);
    }
}

TEST(CmsBuilder, CallbackSeesTheSha256DigestInfo) {
    std::vector<uint8_t> seen;
    auto sign = softwareRawSign(softwareCert().keyFile);
    auto sig = CmsBuilder::buildDetached(
        pattern(5), softwareCert().certDer,
        [&](const std::vector<uint8_t>& in) {
            seen = in;
            return sign(in);
        },
        true);
    ASSERT_FALSE(sig.empty());
    const std::vector<uint8_t> prefix = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    ASSERT_EQ(seen.size(), 51u);
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), seen.begin()));
}

TEST(CmsBuilder, FailuresGiveEmptyResultsWithTheirLogLines) {
    auto sign = softwareRawSign(softwareCert().keyFile);
    const auto modulus = sign(std::vector<uint8_t>(51, 1)).size();
    struct Case {
        const char* name;
        std::vector<uint8_t> cert;
        CmsBuilder::RawSign rawSign;
        const char* log;  // nullptr: no line at all
    };
    const Case cases[] = {
        {"no callback", softwareCert().certDer, nullptr, "[ERROR] CmsBuilder: rawSign callback is required"},
        {"bad certificate", {0x30, 0x03, 0x01, 0x02, 0x03}, sign, "[ERROR] CmsBuilder: failed to parse cert DER"},
        {"empty certificate", {}, sign, "[ERROR] CmsBuilder: failed to parse cert DER"},
        {"EC certificate", TestPki::instance().issueEcClient("Tavo EC").certDer, sign, nullptr},
        {"empty answer", softwareCert().certDer, [](const std::vector<uint8_t>&) { return std::vector<uint8_t>{}; },
         "[ERROR] CmsBuilder: CMS_final failed"},
        {"answer longer than the modulus", softwareCert().certDer,
         [modulus](const std::vector<uint8_t>&) { return std::vector<uint8_t>(modulus + 1, 0x11); },
         "[ERROR] CmsBuilder: CMS_final failed"},
        {"throwing callback", softwareCert().certDer,
         [](const std::vector<uint8_t>&) -> std::vector<uint8_t> { throw std::runtime_error("card gone"); },
         "[ERROR] CmsBuilder: CMS_final failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        EXPECT_TRUE(CmsBuilder::buildDetached(pattern(5), c.cert, c.rawSign, true).empty());
        if (c.log) {
            EXPECT_TRUE(log.contains(c.log)) << log.text();
        } else {
            EXPECT_EQ(log.text(), "");
        }
    }
}

TEST(CmsBuilder, ShortAnswerIsLeftPaddedToTheModulus) {
    // A token may drop the leading zero bytes of a signature; retry until the
    // signature of some input really starts with a zero byte.
    auto sign = softwareRawSign(softwareCert().keyFile);
    bool stripped = false;
    for (int attempt = 0; attempt < 4000 && !stripped; ++attempt) {
        auto data = pattern(16);
        data[0] = static_cast<uint8_t>(attempt);
        data[1] = static_cast<uint8_t>(attempt >> 8);
        bool strippedHere = false;
        auto sig = CmsBuilder::buildDetached(
            data, softwareCert().certDer,
            [&](const std::vector<uint8_t>& in) {
                auto out = sign(in);
                auto first = std::find_if(out.begin(), out.end(), [](uint8_t b) { return b != 0; });
                strippedHere = first != out.begin();
                return std::vector<uint8_t>(first, out.end());
            },
            true);
        ASSERT_FALSE(sig.empty());
        if (strippedHere) {
            stripped = true;
            auto verdict = verifyDetachedCms(sig, data);
            EXPECT_TRUE(verdict.verified) << verdict.output;
        }
    }
    EXPECT_TRUE(stripped);
}
