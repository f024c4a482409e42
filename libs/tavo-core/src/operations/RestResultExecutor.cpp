#include "operations/RestResultExecutor.h"

#include <exception>
#include <memory>

#include "common/Base64.h"
#include "common/Cp1251.h"
#include "common/Logger.h"
#include "common/Utf8.h"
#include "domain/NapSession.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/http/NapRestApiClient.h"
#include "infrastructure/signing/ISigner.h"

namespace tavo::core::operations {
namespace {

using domain::NapIdentifierType;
using infra::http::SendDeclarationResponse;
namespace utf8 = common::utf8;

constexpr const char* kSubmitPath = "/declaration/api-declarations/";
constexpr const char* kResultPath = "/declaration/api-declarations/result";
constexpr const char* kNothingUseful =
    "Отговорът на НАП не съдържа номер на документ, резултат или съобщение за грешка.";

InquiryResult withError(const InquiryResult& result, const std::string& error) {
    InquiryResult copy = result;
    copy.metadata["error"] = error;
    return copy;
}

// The agency's documents are often Windows-1251: text that is not UTF-8 is
// read as that rather than dropped or passed on broken.
std::string readableText(std::string bytes) {
    if (utf8::isValid(bytes)) return bytes;
    return common::Cp1251::ToUtf8(bytes);
}

std::string decodeBase64Utf8(const std::string& text) {
    if (text.empty()) return {};
    std::vector<uint8_t> bytes = common::base64::decode(text);
    return readableText(std::string(bytes.begin(), bytes.end()));
}

NapIdentifierType resolveTaxpayerType(domain::NapSession& session, const std::string& eik) {
    for (const domain::TaxpayerInfo& t : session.listTaxpayers())
        if (t.pin == eik) return t.pinType;
    return domain::identifierTypeFromDigitCount(eik);
}

}  // namespace

InquiryResult readRestResult(const SendDeclarationResponse& answer, const std::string& resultUrl) {
    InquiryResult result;
    auto& meta = result.metadata;
    meta["status"] = "error";
    try {
        meta["rawBodyUrl"] = utf8::makeValid(resultUrl);
        meta["rawBodyContentType"] = "text/html; charset=utf-8";
        if (!answer.rawBody.empty()) meta["rawJson"] = readableText(answer.rawBody);
        const bool success = answer.httpStatus >= 200 && answer.httpStatus <= 299;
        if (!success) {
            meta["error"] =
                utf8::makeValid(answer.error.empty() ? "HTTP " + std::to_string(answer.httpStatus) : answer.error);
            return result;
        }
        if (!answer.error.empty()) {
            meta["error"] = utf8::makeValid(answer.error);
            return result;
        }
        const std::string* document = nullptr;
        if (!answer.base64FullHtmlResultInfo.empty())
            document = &answer.base64FullHtmlResultInfo;
        else if (!answer.base64HtmlResult.empty())
            document = &answer.base64HtmlResult;
        else if (!answer.base64Result.empty()) {
            document = &answer.base64Result;
            meta["rawBodyContentType"] = "text/plain; charset=utf-8";
        }
        // An answer that names no document and carries no result is no result.
        if (!document && answer.documentId.empty()) {
            meta["error"] = kNothingUseful;
            return result;
        }
        if (document) meta["rawBody"] = decodeBase64Utf8(*document);
        if (!answer.documentId.empty()) meta["documentId"] = utf8::makeValid(answer.documentId);
        if (!answer.entryNumber.empty()) meta["incomeNumber"] = utf8::makeValid(answer.entryNumber);
        if (!answer.entryDate.empty()) meta["submittedAt"] = utf8::makeValid(answer.entryDate);
        meta["status"] = "ok";
    } catch (const std::exception& e) {
        meta["status"] = "error";
        meta["error"] = utf8::makeValid(e.what());
    }
    return result;
}

InquiryResult RestResultExecutor::fetch(domain::NapSession& session, const ParameterValues& params) {
    InquiryResult result;
    result.metadata["status"] = "error";
    const std::string documentId = params.getOr("documentId", "");
    const std::string eik = params.getOr("eik", "");
    if (documentId.empty()) return withError(result, "documentId е задължителен");
    if (eik.empty()) return withError(result, "eik е задължителен");
    signing::ISigner* signer = session.signer();
    if (!signer) return withError(result, "Няма наличен signer на сесията.");
    const domain::SenderIdentity identity = session.identity();
    if (identity.certificateId.empty()) return withError(result, "Не е избран КЕП сертификат.");
    if (identity.apiKey.empty()) return withError(result, "Не е зададен API ключ.");
    const std::vector<uint8_t> certificate = signer->getCertificateDer(identity.certificateId);
    if (certificate.empty()) return withError(result, "Неуспешен прочит на сертификата за API ключа.");

    const NapIdentifierType taxpayerType = resolveTaxpayerType(session, eik);

    // Always production: results live where the filing went, whatever the
    // test-endpoint switch says.
    const std::string base = infra::nap::kRestApiProductionBase;
    const std::string resultUrl = base + kResultPath;
    std::unique_ptr<infra::http::HttpClient> http = infra::http::HttpClientFactory::forNapRestApi();
    infra::http::NapRestApiClient client(*http, base + kSubmitPath, resultUrl, identity.apiKey);
    SendDeclarationResponse answer =
        client.checkStatus(documentId, eik, taxpayerType, identity.identifier, identity.identifierType, certificate);
    return readRestResult(answer, resultUrl);
}

}  // namespace tavo::core::operations
