#include <gtest/gtest.h>

#include <string>

#include "domain/NapIdentifiers.h"
#include "domain/TaxpayerInfo.h"

using namespace tavo::core::domain;

TEST(NapIdentifiers, IdentifierTypeNamesBothWays) {
    struct Case {
        int code;
        const char* name;
    };
    for (const Case& c : {Case{0, "UNKNOWN"},
                          {1, "IND_EGN"},
                          {2, "IND_LNCH"},
                          {3, "IND_SLNO"},
                          {4, "IND_BULSTAT"},
                          {5, "BUS_BULSTAT"}}) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(toWireName(static_cast<NapIdentifierType>(c.code)), c.name);
        EXPECT_EQ(static_cast<int>(identifierTypeFromWireName(c.name)), c.code);
    }
    for (int code : {6, -1, 1000}) EXPECT_STREQ(toWireName(static_cast<NapIdentifierType>(code)), "UNKNOWN");
    for (const char* name : {"ind_egn", "IND_EGN ", " IND_EGN", "", "eik", "egn"})
        EXPECT_EQ(identifierTypeFromWireName(name), NapIdentifierType::UNKNOWN) << name;
}

TEST(NapIdentifiers, DocumentTypeNamesBothWays) {
    struct Case {
        int code;
        const char* name;
    };
    for (const Case& c :
         {Case{0, "UNKNOWN"}, {1, "DEC_1_6"}, {2, "DEC_ETZ62"}, {3, "DEC_ETZ123"}, {4, "DEC_HIGH_FISC_RISK"}}) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(toWireName(static_cast<DocumentType>(c.code)), c.name);
        EXPECT_EQ(static_cast<int>(documentTypeFromWireName(c.name)), c.code);
    }
    EXPECT_STREQ(toWireName(static_cast<DocumentType>(5)), "UNKNOWN");
    // A file document type name is not a document type name.
    EXPECT_EQ(documentTypeFromWireName("DEC_1"), DocumentType::UNKNOWN);
    EXPECT_EQ(documentTypeFromWireName("dec_1_6"), DocumentType::UNKNOWN);
}

TEST(NapIdentifiers, FileDocumentTypeNamesBothWays) {
    struct Case {
        int code;
        const char* name;
    };
    for (const Case& c : {Case{0, "UNKNOWN"},
                          {1, "DEC_1"},
                          {6, "DEC_6"},
                          {7, "DEC_ETZ62"},
                          {8, "DEC_ETZ123"},
                          {9, "DEC_FISC_RISK_EU_BG"},
                          {10, "DEC_FISC_RISK_BG_EU"},
                          {11, "DEC_FISC_RISK_ANNUL"},
                          {12, "DEC_FISC_RISK_CONFIRM"},
                          {13, "DEC_FISC_RISK_BG_BG"},
                          {14, "DEC_FISC_RISK_IMPORT"},
                          {1001, "FILE_REF73_PRG1"},
                          {1006, "FILE_REF73_PRG6"},
                          {2000, "FILE_E_STORE_AUDIT"},
                          {3000, "FILE_VAT_REPORT"}}) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(toWireName(static_cast<FileDocumentType>(c.code)), c.name);
        EXPECT_EQ(static_cast<int>(fileDocumentTypeFromWireName(c.name)), c.code);
    }
    for (int gap : {2, 3, 4, 5, 15, 1000, 3001})
        EXPECT_STREQ(toWireName(static_cast<FileDocumentType>(gap)), "UNKNOWN") << gap;
    EXPECT_EQ(fileDocumentTypeFromWireName("DEC_1_6"), FileDocumentType::UNKNOWN);
}

TEST(NapIdentifiers, FileTypeNamesBothWays) {
    struct Case {
        int code;
        const char* name;
    };
    for (const Case& c : {Case{0, ""}, {1, "txt"}, {2, "csv"}, {3, "xml"}}) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(toWireName(static_cast<FileType>(c.code)), c.name);
        EXPECT_EQ(static_cast<int>(fileTypeFromWireName(c.name)), c.code);
    }
    EXPECT_STREQ(toWireName(static_cast<FileType>(4)), "");
    for (const char* name : {"XML", "Txt", "UNKNOWN", "xml "})
        EXPECT_EQ(static_cast<int>(fileTypeFromWireName(name)), 0) << name;
}

TEST(TaxpayerInfo, DefaultsAndCopy) {
    TaxpayerInfo info;
    EXPECT_EQ(info.pinType, NapIdentifierType::UNKNOWN);
    EXPECT_EQ(info.tin, 0);
    EXPECT_FALSE(info.active);
    info.pin = "123456789";
    info.tin = 9'000'000'000LL;
    TaxpayerInfo copy = info;
    copy.pin = "other";
    EXPECT_EQ(info.pin, "123456789");
    EXPECT_EQ(copy.tin, 9'000'000'000LL);
}
