#include "operations/SubmissionResultInquiry.h"

#include "common/Logger.h"
#include "common/Utf8.h"
#include "domain/NapSession.h"
#include "infrastructure/http/HttpClient.h"
#include "operations/PlsSubmissionExecutor.h"
#include "operations/PortalPage.h"

namespace tavo::core::operations {
namespace {

std::string forLog(std::string_view text) {
    return common::utf8::escapeForLog(common::utf8::cut(text, 500));
}

// The result page into the five result fields; status "ok" only for a page
// that is what was asked for.
void readResultPage(domain::NapSession& session, const std::string& typeId, const std::string& url,
                    std::unordered_map<std::string, std::string>& meta) {
    auto response = session.get(url, infra::http::kAcceptHtmlBrowser);
    const std::string contentType = portalpage::headerValue(response.headers, "content-type");
    meta["rawBodyUrl"] = url;
    // The portal's legacy pages may come in Windows-1251; the payload is UTF-8.
    meta["rawBody"] = upload::pageAsUtf8(response.body, contentType);
    meta["rawBodyContentType"] =
        (contentType.empty() ? "text/html" : portalpage::mediaType(contentType)) + "; charset=utf-8";
    if (response.status < 200 || response.status > 299) {
        meta["error"] = "HTTP " + std::to_string(response.status) + " от " + url;
        return;
    }
    if (response.body.empty() || portalpage::endedElsewhere(url, response.effectiveUrl)) {
        // A lapsed session answers with its login page: that is no result.
        Logger::warn("SubmissionResultInquiry[" + typeId + "]: the answer is no result page (" +
                     std::to_string(response.body.size()) + " bytes, ended at " + forLog(response.effectiveUrl) + ")");
        meta["rawBody"].clear();
        meta["error"] = portalpage::lapsedSessionMessage("резултата за документа");
        return;
    }
    meta["status"] = "ok";
}

}  // namespace

// Both are read by the registry during static initialisation: a subclass
// without a paired submission must not crash the process before main.
std::string SubmissionResultInquiry::featureGroupId() const {
    auto paired = pairedSubmission();
    return paired ? paired->featureGroupId() : std::string();
}

std::string SubmissionResultInquiry::featureGroupName() const {
    auto paired = pairedSubmission();
    return paired ? paired->featureGroupName() : std::string();
}

ResultSpec SubmissionResultInquiry::resultSchema() const {
    auto text = [](const char* id, const char* label, bool nullable, const char* description) {
        FieldSpec f;
        f.id = id;
        f.label = label;
        f.type = FieldType::String;
        f.nullable = nullable;
        f.description = description;
        return f;
    };
    FieldSpec status =
        text("status", "Статус", false, "ok при успех; error когато порталът върне non-2xx или липсва документ.");
    status.type = FieldType::Enum;
    status.enumValues = {"ok", "error"};
    return {
        "SubmissionResultPayload",
        {text("rawBody", "Тяло на отговора", false,
              "HTML, JSON или TXT съдържанието, което порталът е върнал за това подаване."),
         text("rawBodyContentType", "MIME тип", false, "Content-Type на rawBody — text/html, application/json, …"),
         text("rawBodyUrl", "Изходен URL", false, "URL на портала откъдето е получено rawBody (за повторна заявка)."),
         status, text("error", "Грешка", true, "Текст на грешката когато status=error.")}};
}

std::vector<ParameterSpec> SubmissionResultInquiry::parameters() const {
    ParameterSpec documentId;
    documentId.name = "documentId";
    documentId.label = "Document ID";
    documentId.type = ParameterType::String;
    documentId.required = true;
    documentId.description = "ID на подадения документ — върнат от submit операцията като documentId.";
    ParameterSpec eik;
    eik.name = "eik";
    eik.label = "ЕИК / Булстат";
    eik.type = ParameterType::Eik;
    eik.required = true;
    return {documentId, eik};
}

InquiryResult SubmissionResultInquiry::execute(domain::NapSession& session, const ParameterValues& params) {
    InquiryResult result;
    auto& meta = result.metadata;
    meta["status"] = "error";
    const std::string documentId = params.getOr("documentId", "");
    const std::string eik = params.getOr("eik", "");
    if (documentId.empty()) {
        meta["error"] = "documentId е задължителен";
        return result;
    }
    if (eik.empty()) {
        meta["error"] = "eik е задължителен";
        return result;
    }
    auto link = session.prepareFor(*this, eik, 0);
    if (!link) {
        const std::string& lastError = session.lastError();
        if (!lastError.empty()) {
            // The text may carry the portal's or the caller's words: one line, cut.
            Logger::warn("SubmissionResultInquiry[" + typeId() + "]: portal prep failed: " + forLog(lastError));
            meta["error"] = lastError;
        } else {
            meta["error"] = "Не е намерена резултатна услуга в портала за тази декларация.";
        }
        return result;
    }
    auto paired = pairedSubmission();
    if (!paired) {
        meta["error"] = "Internal: subclass returned null pairedSubmission()";
        return result;
    }
    const std::string url = paired->showResultUrl(documentId, *link);
    if (url.empty()) {
        meta["error"] = "Internal: pairedSubmission()->showResultUrl() returned empty URL";
        return result;
    }
    readResultPage(session, typeId(), url, meta);
    return result;
}

}  // namespace tavo::core::operations
