#include "domain/NapIdentifiers.h"

#include <span>

namespace tavo::core::domain {
namespace {

template <class E>
struct WireName {
    E value;
    const char* name;
};

constexpr WireName<NapIdentifierType> kIdentifierTypes[] = {
    {NapIdentifierType::UNKNOWN, "UNKNOWN"},         {NapIdentifierType::IND_EGN, "IND_EGN"},
    {NapIdentifierType::IND_LNCH, "IND_LNCH"},       {NapIdentifierType::IND_SLNO, "IND_SLNO"},
    {NapIdentifierType::IND_BULSTAT, "IND_BULSTAT"}, {NapIdentifierType::BUS_BULSTAT, "BUS_BULSTAT"},
};

constexpr WireName<DocumentType> kDocumentTypes[] = {
    {DocumentType::UNKNOWN, "UNKNOWN"},
    {DocumentType::DEC_1_6, "DEC_1_6"},
    {DocumentType::DEC_ETZ62, "DEC_ETZ62"},
    {DocumentType::DEC_ETZ123, "DEC_ETZ123"},
    {DocumentType::DEC_HIGH_FISC_RISK, "DEC_HIGH_FISC_RISK"},
};

constexpr WireName<FileDocumentType> kFileDocumentTypes[] = {
    {FileDocumentType::UNKNOWN, "UNKNOWN"},
    {FileDocumentType::DEC_1, "DEC_1"},
    {FileDocumentType::DEC_6, "DEC_6"},
    {FileDocumentType::DEC_ETZ62, "DEC_ETZ62"},
    {FileDocumentType::DEC_ETZ123, "DEC_ETZ123"},
    {FileDocumentType::DEC_FISC_RISK_EU_BG, "DEC_FISC_RISK_EU_BG"},
    {FileDocumentType::DEC_FISC_RISK_BG_EU, "DEC_FISC_RISK_BG_EU"},
    {FileDocumentType::DEC_FISC_RISK_ANNUL, "DEC_FISC_RISK_ANNUL"},
    {FileDocumentType::DEC_FISC_RISK_CONFIRM, "DEC_FISC_RISK_CONFIRM"},
    {FileDocumentType::DEC_FISC_RISK_BG_BG, "DEC_FISC_RISK_BG_BG"},
    {FileDocumentType::DEC_FISC_RISK_IMPORT, "DEC_FISC_RISK_IMPORT"},
    {FileDocumentType::FILE_REF73_PRG1, "FILE_REF73_PRG1"},
    {FileDocumentType::FILE_REF73_PRG6, "FILE_REF73_PRG6"},
    {FileDocumentType::FILE_E_STORE_AUDIT, "FILE_E_STORE_AUDIT"},
    {FileDocumentType::FILE_VAT_REPORT, "FILE_VAT_REPORT"},
};

constexpr WireName<FileType> kFileTypes[] = {
    {FileType::NONE, ""},
    {FileType::TXT, "txt"},
    {FileType::CSV, "csv"},
    {FileType::XML, "xml"},
};

template <class E>
const char* nameOf(std::span<const WireName<E>> table, E value, const char* fallback) {
    for (const auto& entry : table)
        if (entry.value == value) return entry.name;
    return fallback;
}

template <class E>
E valueOf(std::span<const WireName<E>> table, const std::string& name, E fallback) {
    for (const auto& entry : table)
        if (name == entry.name) return entry.value;
    return fallback;
}

}  // namespace

const char* toWireName(NapIdentifierType type) {
    return nameOf<NapIdentifierType>(kIdentifierTypes, type, "UNKNOWN");
}
const char* toWireName(DocumentType type) {
    return nameOf<DocumentType>(kDocumentTypes, type, "UNKNOWN");
}
const char* toWireName(FileDocumentType type) {
    return nameOf<FileDocumentType>(kFileDocumentTypes, type, "UNKNOWN");
}
const char* toWireName(FileType type) {
    return nameOf<FileType>(kFileTypes, type, "");
}

NapIdentifierType identifierTypeFromWireName(const std::string& name) {
    return valueOf<NapIdentifierType>(kIdentifierTypes, name, NapIdentifierType::UNKNOWN);
}
DocumentType documentTypeFromWireName(const std::string& name) {
    return valueOf<DocumentType>(kDocumentTypes, name, DocumentType::UNKNOWN);
}
FileDocumentType fileDocumentTypeFromWireName(const std::string& name) {
    return valueOf<FileDocumentType>(kFileDocumentTypes, name, FileDocumentType::UNKNOWN);
}
FileType fileTypeFromWireName(const std::string& name) {
    return valueOf<FileType>(kFileTypes, name, FileType::NONE);
}

NapIdentifierType identifierTypeFromDigitCount(const std::string& pin) {
    if (pin.empty()) return NapIdentifierType::UNKNOWN;
    for (char c : pin)
        if (c < '0' || c > '9') return NapIdentifierType::UNKNOWN;
    switch (pin.size()) {
        case 9:
            return NapIdentifierType::BUS_BULSTAT;
        case 10:
            return NapIdentifierType::IND_EGN;
        case 13:
            return NapIdentifierType::IND_BULSTAT;
        default:
            return NapIdentifierType::UNKNOWN;
    }
}

}  // namespace tavo::core::domain
