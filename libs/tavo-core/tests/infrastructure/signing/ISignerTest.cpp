#include <gtest/gtest.h>

#include "infrastructure/signing/ISigner.h"

using namespace tavo::signing;

namespace {
class RecordingSigner : public ISigner {
public:
    std::vector<CertificateInfo> listCertificates() override { return {}; }
    std::vector<uint8_t> signData(const std::vector<uint8_t>& data, const std::string& id,
                                  const std::string& pin) override {
        calls.push_back(id + "|" + pin);
        std::vector<uint8_t> out = data;
        out.push_back(0x42);
        return out;
    }
    bool warmUp(const std::string&, const std::string&) override { return true; }
    std::vector<uint8_t> getCertificateDer(const std::string&) override { return {}; }
    std::vector<std::string> calls;
};
}  // namespace

TEST(ISigner, PortalSigningGoesThroughTheSignDataSlot) {
    RecordingSigner signer;
    ISigner& base = signer;
    auto out = base.signDataForPortal({1, 2}, "3:AB", "1234");
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 0x42}));
    EXPECT_EQ(signer.calls, (std::vector<std::string>{"3:AB|1234"}));
}

TEST(ISigner, ExceptionsCarryTheirFixedMessages) {
    EXPECT_STREQ(InvalidPinException().what(), "Грешен PIN код.");
    EXPECT_STREQ(SigningCancelledException().what(), "Подписването беше отказано.");
    try {
        throw InvalidPinException();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Грешен PIN код.");
    }
}
