#pragma once

#include <cstdint>
#include <string>

// The agency's fixed codes for persons and documents, with the upper-case
// names under which they travel in its JSON and in the settings file.
namespace tavo::core::domain {

enum class NapIdentifierType : int32_t {
    UNKNOWN = 0,
    IND_EGN = 1,
    IND_LNCH = 2,
    IND_SLNO = 3,
    IND_BULSTAT = 4,
    BUS_BULSTAT = 5,
};

enum class DocumentType : int32_t {
    UNKNOWN = 0,
    DEC_1_6 = 1,
    DEC_ETZ62 = 2,
    DEC_ETZ123 = 3,
    DEC_HIGH_FISC_RISK = 4,
};

// Values 1 and 6 equal the form numbers of declarations 1 and 6.
enum class FileDocumentType : int32_t {
    UNKNOWN = 0,
    DEC_1 = 1,
    DEC_6 = 6,
    DEC_ETZ62 = 7,
    DEC_ETZ123 = 8,
    DEC_FISC_RISK_EU_BG = 9,
    DEC_FISC_RISK_BG_EU = 10,
    DEC_FISC_RISK_ANNUL = 11,
    DEC_FISC_RISK_CONFIRM = 12,
    DEC_FISC_RISK_BG_BG = 13,
    DEC_FISC_RISK_IMPORT = 14,
    FILE_REF73_PRG1 = 1001,
    FILE_REF73_PRG6 = 1006,
    FILE_E_STORE_AUDIT = 2000,
    FILE_VAT_REPORT = 3000,
};

// Code 0 has the empty text as its name.
enum class FileType : int32_t {
    NONE = 0,
    TXT = 1,
    CSV = 2,
    XML = 3,
};

// Names live for the whole process. Codes without a name give "UNKNOWN"
// (empty text for FileType); matching of names is exact and case-sensitive.
const char* toWireName(NapIdentifierType type);
const char* toWireName(DocumentType type);
const char* toWireName(FileDocumentType type);
const char* toWireName(FileType type);

NapIdentifierType identifierTypeFromWireName(const std::string& name);

// The type a taxpayer identifier implies by its length when the portal does
// not say: 9 digits a company (BUS_BULSTAT), 10 a personal number (IND_EGN),
// 13 IND_BULSTAT; anything else, or any non-digit, UNKNOWN.
NapIdentifierType identifierTypeFromDigitCount(const std::string& pin);
DocumentType documentTypeFromWireName(const std::string& name);
FileDocumentType fileDocumentTypeFromWireName(const std::string& name);
FileType fileTypeFromWireName(const std::string& name);

}  // namespace tavo::core::domain
