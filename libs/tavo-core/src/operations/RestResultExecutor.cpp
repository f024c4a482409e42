#include "operations/RestResultExecutor.h"

#include <exception>
#include <memory>
#include <optional>
#include <string_view>

#include "common/Ascii.h"
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

// The error for a result member that is not Base64 (a sentence, another
// encoding): read leniently it would be an empty document reported as a result.
std::optional<std::string> notBase64(const char* member, const std::string& text) {
    std::optional<size_t> at = common::base64::firstForeignCharacter(text);
    if (!at) return std::nullopt;
    return std::string("Резултатът в отговора на НАП (") + member +
           ") не е във формат Base64: недопустим знак на позиция " + std::to_string(*at + 1) + ".";
}

// The number a document id stands for on the wire: the request sends the
// leading digits of the asked id as a number (00123 as 123), and the answer's
// id counts as a number only when it is digits alone. Leading zeros dropped.
std::optional<std::string> idNumber(std::string_view id, bool leadingOnly) {
    size_t i = 0;
    if (leadingOnly)
        while (i < id.size() && common::ascii::isSpace(id[i])) ++i;
    size_t digits = i;
    while (digits < id.size() && common::ascii::isDigit(id[digits])) ++digits;
    if (digits == i || (!leadingOnly && digits != id.size())) return std::nullopt;
    std::string_view number = id.substr(i, digits - i);
    while (number.size() > 1 && number.front() == '0') number.remove_prefix(1);
    // Beyond 64 bits the request carried the id as text.
    if (number.size() > 20 || (number.size() == 20 && number > "18446744073709551615")) return std::nullopt;
    return std::string(number);
}

bool sameDocument(const std::string& asked, const std::string& answered) {
    if (asked == answered) return true;
    std::optional<std::string> a = idNumber(asked, true), b = idNumber(answered, false);
    return a && b && *a == *b;
}

NapIdentifierType resolveTaxpayerType(domain::NapSession& session, const std::string& eik) {
    for (const domain::TaxpayerInfo& t : session.listTaxpayers())
        if (t.pin == eik) return t.pinType;
    return domain::identifierTypeFromDigitCount(eik);
}

}  // namespace

InquiryResult readRestResult(const SendDeclarationResponse& answer, const std::string& resultUrl,
                             const std::string& askedDocumentId) {
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
        // Another document's result shown as the asked one's would tell the
        // user a verdict about a filing they did not ask about.
        if (!answer.documentId.empty() && !sameDocument(askedDocumentId, answer.documentId)) {
            meta["error"] = "Отговорът на НАП е за документ " + utf8::makeValid(answer.documentId) +
                            ", а беше поискан документ " + utf8::makeValid(askedDocumentId) + ".";
            return result;
        }
        const std::string* document = nullptr;
        const char* member = nullptr;
        if (!answer.base64FullHtmlResultInfo.empty()) {
            document = &answer.base64FullHtmlResultInfo;
            member = "base64FullHtmlResultInfo";
        } else if (!answer.base64HtmlResult.empty()) {
            document = &answer.base64HtmlResult;
            member = "base64HtmlResult";
        } else if (!answer.base64Result.empty()) {
            document = &answer.base64Result;
            member = "base64Result";
            meta["rawBodyContentType"] = "text/plain; charset=utf-8";
        }
        if (document) {
            if (std::optional<std::string> error = notBase64(member, *document)) {
                meta["error"] = *error;
                return result;
            }
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
    std::unique_ptr<infra::http::HttpClient> http = infra::http::HttpClientFactory::forNapRestApi(base);
    infra::http::NapRestApiClient client(*http, base + kSubmitPath, resultUrl, identity.apiKey);
    SendDeclarationResponse answer =
        client.checkStatus(documentId, eik, taxpayerType, identity.identifier, identity.identifierType, certificate);
    return readRestResult(answer, resultUrl, documentId);
}

}  // namespace tavo::core::operations
