#include <gtest/gtest.h>

#include "infrastructure/signing/SignerPkcs11.h"

using tavo::signing::CertId;

TEST(CertId, ParsesSlotAndHexBytes) {
    struct Case {
        const char* text;
        unsigned long slot;
        std::vector<uint8_t> id;
        const char* printed;  // nullptr: invalid
    };
    const Case cases[] = {
        {"3:0a1B", 3, {0x0A, 0x1B}, "3:0A1B"},
        {"3:ABC", 3, {0xAB}, "3:AB"},
        {"3:AZ", 3, {}, nullptr},
        {"3:", 3, {}, nullptr},
        {"3:A", 3, {}, nullptr},
        {"3", 0, {}, nullptr},
        {"x:AB", 0, {}, nullptr},
        {"", 0, {}, nullptr},
        {" 12abc:ff00", 12, {0xFF, 0x00}, "12:FF00"},
        {"1:AB:CD", 1, {}, nullptr},
        {"99999999999999999999999:AB", 0, {}, nullptr},
        {"1234567890:000102", 1234567890, {0x00, 0x01, 0x02}, "1234567890:000102"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CertId id = CertId::parse(c.text);
        EXPECT_EQ(id.slot, c.slot);
        EXPECT_EQ(id.id, c.id);
        EXPECT_EQ(id.valid(), c.printed != nullptr);
        if (c.printed) {
            EXPECT_EQ(id.text(), c.printed);
        }
    }
}
