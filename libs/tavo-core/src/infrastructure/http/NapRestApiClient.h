#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "domain/NapIdentifiers.h"

namespace tavo::core::infra::http {

class HttpClient;

// One file of a declaration, signed.
struct SignedFile {
    std::string fileName;  // without folders
    domain::FileType fileType = domain::FileType::XML;
    uint32_t fileSize = 0;
    std::vector<uint8_t> content;
    std::vector<uint8_t> pkcs7;  // detached CMS over content, DER
    domain::FileDocumentType fileDocumentType = domain::FileDocumentType::UNKNOWN;
    uint32_t numRecords = 0;
};

// One declaration for the public REST API. "pin" is an identification
// number here, never a secret.
struct SendDeclarationRequest {
    domain::DocumentType serviceDocumentType = domain::DocumentType::UNKNOWN;
    std::string taxPeriodFrom;
    std::string taxPeriodTo;
    std::string year;
    uint32_t insuranceFund = 0;
    std::string userPin;
    domain::NapIdentifierType userPinType = domain::NapIdentifierType::UNKNOWN;
    std::vector<uint8_t> userSignature;  // the sender's certificate, DER
    std::string taxpayerPin;
    domain::NapIdentifierType taxpayerPinType = domain::NapIdentifierType::UNKNOWN;
    std::vector<SignedFile> files;
};

// The API's answer to either call. Every text but rawBody is valid UTF-8.
struct SendDeclarationResponse {
    bool ok = false;
    std::string documentId;
    std::string entryNumber;
    std::string entryDate;
    std::string base64HtmlResult;  // passed through undecoded
    std::string base64FullHtmlResultInfo;
    std::string base64Result;
    std::string rawBody;  // the HTTP body, whole
    int32_t httpStatus = 0;
    std::string error;
};

// The answer of one exchange that completed, read without a network: pure,
// never throws. ok is true exactly when a document id was read: a non-blank
// string or a non-negative integer; any other value names no document.
SendDeclarationResponse readRestApiAnswer(int32_t status, std::string_view body);

// The agency's public declaration REST API: JSON POSTs with a bearer API key.
// Neither call throws or retries; every outcome ends in the record.
class NapRestApiClient {
public:
    // The HttpClient is lent and must outlive the client.
    NapRestApiClient(HttpClient& http, std::string submitUrl, std::string resultUrl, std::string apiKey);

    SendDeclarationResponse submit(const SendDeclarationRequest& request);
    SendDeclarationResponse checkStatus(const std::string& documentId, const std::string& taxpayerPin,
                                        domain::NapIdentifierType taxpayerPinType, const std::string& userPin,
                                        domain::NapIdentifierType userPinType,
                                        const std::vector<uint8_t>& userSignature);

private:
    HttpClient& http_;
    std::string submitUrl_;
    std::string resultUrl_;
    std::string apiKey_;
};

}  // namespace tavo::core::infra::http
