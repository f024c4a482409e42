#include "infrastructure/http/NapRestApiClient.h"

#include <charconv>
#include <exception>
#include <system_error>

#include "common/Ascii.h"
#include "common/Base64.h"
#include "common/Logger.h"
#include "common/Numbers.h"
#include "common/SafeJson.h"
#include "common/Secrets.h"
#include "common/Utf8.h"
#include "infrastructure/http/HttpClient.h"

namespace tavo::core::infra::http {
namespace {

namespace sj = common::safejson;
namespace secrets = common::secrets;
namespace utf8 = common::utf8;
using nlohmann::json;

constexpr size_t kErrorExcerptBytes = 600;
constexpr const char* kNoApiKey = "Няма зададен API ключ.";

bool isSuccess(int32_t status) {
    return status >= 200 && status <= 299;
}

std::string asString(const json& value) {
    switch (value.type()) {
        case json::value_t::string:
            return value.get_ref<const std::string&>();
        case json::value_t::null:
            return {};
        case json::value_t::boolean:
            return value.get<bool>() ? "true" : "false";
        case json::value_t::number_integer:
            return std::to_string(value.get<int64_t>());
        case json::value_t::number_unsigned:
            return std::to_string(value.get<uint64_t>());
        case json::value_t::number_float: {
            // Locale-independent "%.6f"; the largest double needs 309 digits.
            char buffer[400];
            auto [end, ec] =
                std::to_chars(buffer, buffer + sizeof buffer, value.get<double>(), std::chars_format::fixed, 6);
            return ec == std::errc() ? std::string(buffer, end) : std::string();
        }
        default:
            return sj::dumpLenient(value);
    }
}

std::string fieldAsString(const json& object, std::string_view key) {
    const json* member = sj::member(object, key);
    return member ? asString(*member) : std::string();
}

// Only a non-blank string or a non-negative integer names a document: false,
// {}, [], blanks, -5, 1.5 or 1e300 read as text would be polled as an id.
std::string documentIdOf(const json& object) {
    const json* id = sj::member(object, "documentId");
    if (!id) return {};
    if (id->is_string()) {
        const std::string& text = id->get_ref<const std::string&>();
        for (char c : text)
            if (!common::ascii::isSpace(c)) return text;
        return {};
    }
    if (id->is_number_unsigned()) return std::to_string(id->get<uint64_t>());
    if (id->is_number_integer() && id->get<int64_t>() >= 0) return std::to_string(id->get<int64_t>());
    return {};
}

// A JSON string literal; text that is not UTF-8 is replaced, never thrown on.
std::string quoted(const std::string& text) {
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

// Base64 straight into the body in slices, so no second copy of a large file's
// text exists at any time. Whole groups of three bytes encode independently.
void appendBase64(std::string& out, const std::vector<uint8_t>& bytes) {
    constexpr size_t kSlice = size_t{3} * 256 * 1024;
    for (size_t offset = 0; offset < bytes.size(); offset += kSlice) {
        size_t n = std::min(kSlice, bytes.size() - offset);
        out += common::base64::encode(bytes.data() + offset, n);
    }
}

size_t base64Length(size_t bytes) {
    return (bytes + 2) / 3 * 4;
}

// Members are written in ascending byte order of their names, compact, as the
// rest of the system's JSON is.
std::string buildSubmitBody(const SendDeclarationRequest& r) {
    size_t reserve = 512 + base64Length(r.userSignature.size());
    for (const SignedFile& f : r.files)
        reserve += 256 + f.fileName.size() * 2 + base64Length(f.content.size()) + base64Length(f.pkcs7.size());
    std::string body;
    body.reserve(reserve);
    body += "{\"files\":[";
    bool first = true;
    for (const SignedFile& f : r.files) {
        if (!first) body += ',';
        first = false;
        body += "{\"base64EncodedPkcs7\":\"";
        appendBase64(body, f.pkcs7);
        body += "\",\"fileContentBase64\":\"";
        appendBase64(body, f.content);
        body += "\",\"fileDocumentType\":" + quoted(domain::toWireName(f.fileDocumentType));
        body += ",\"fileName\":" + quoted(f.fileName);
        body += ",\"fileSize\":" + std::to_string(f.fileSize);
        body += ",\"fileType\":" + quoted(domain::toWireName(f.fileType));
        body += ",\"numRecords\":" + std::to_string(f.numRecords) + "}";
    }
    body += "],\"insuranceFund\":" + std::to_string(r.insuranceFund);
    body += ",\"serviceDocumentType\":" + quoted(domain::toWireName(r.serviceDocumentType));
    if (!r.taxPeriodFrom.empty()) body += ",\"taxPeriodFrom\":" + quoted(r.taxPeriodFrom);
    if (!r.taxPeriodTo.empty()) body += ",\"taxPeriodTo\":" + quoted(r.taxPeriodTo);
    body += ",\"taxpayerPin\":" + quoted(r.taxpayerPin);
    body += ",\"taxpayerPinType\":" + quoted(domain::toWireName(r.taxpayerPinType));
    body += ",\"userPin\":" + quoted(r.userPin);
    body += ",\"userPinType\":" + quoted(domain::toWireName(r.userPinType));
    body += ",\"userSignatureBase64\":\"";
    appendBase64(body, r.userSignature);
    body += '"';
    if (!r.year.empty()) body += ",\"year\":" + quoted(r.year);
    body += '}';
    return body;
}

// Leading blanks skipped, then digits read up to the first other character.
// A sign or anything else first, or more than 64 bits: the text as it is
// ("-1" must not wrap around to a huge number).
json documentIdValue(const std::string& documentId) {
    if (auto number = common::leadingUnsigned64(documentId)) return *number;
    return documentId;
}

std::string buildCheckStatusBody(const std::string& documentId, const std::string& taxpayerPin,
                                 domain::NapIdentifierType taxpayerPinType, const std::string& userPin,
                                 domain::NapIdentifierType userPinType, const std::vector<uint8_t>& userSignature) {
    json body = json::object();
    body["documentId"] = documentIdValue(documentId);
    body["taxpayerPin"] = taxpayerPin;
    body["taxpayerPinType"] = domain::toWireName(taxpayerPinType);
    body["userPin"] = userPin;
    body["userPinType"] = domain::toWireName(userPinType);
    body["userSignatureBase64"] = common::base64::encode(userSignature.data(), userSignature.size());
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

SendDeclarationResponse parseResponse(const HttpResponse& response) {
    if (!response.error.empty()) {
        SendDeclarationResponse out;
        out.httpStatus = response.status;
        out.rawBody = response.body;
        out.error = "transport: " + utf8::makeValid(response.error);
        return out;
    }
    return readRestApiAnswer(response.status, response.body);
}

// Blanks and line ends around a pasted key are not part of it; a line break
// inside it makes the client refuse the request rather than send two lines.
HeaderMap apiHeaders(const std::string& apiKey) {
    return {{"Accept", "application/json"},
            {"Authorization", "Bearer " + std::string(common::ascii::trimBlanks(apiKey))}};
}

SendDeclarationResponse failure(std::string error) {
    SendDeclarationResponse out;
    out.error = std::move(error);
    return out;
}

// A gateway's "invalid token" answer may repeat the Authorization header:
// the key and any bearer credential are masked in whatever came back before
// it is cut, logged or handed on.
std::string masked(std::string_view text, std::string_view key) {
    return secrets::maskBearerTokens(secrets::maskSecret(text, key));
}

struct Exchange {
    SendDeclarationResponse answer;
    bool completed = false;       // an HTTP answer arrived whole
    bool outcomeUnknown = false;  // the body went out and its answer was lost
};

// One POST to the API, the answer read with the key masked everywhere in it
// (also in members the JSON reader unescaped).
Exchange exchange(HttpClient& http, const std::string& url, const std::string& body, const std::string& apiKey) {
    const std::string_view key = common::ascii::trimBlanks(apiKey);
    HttpResponse response = http.postRaw(url, body, "application/json", apiHeaders(apiKey));
    response.body = masked(response.body, key);
    response.error = masked(response.error, key);
    Exchange e;
    e.completed = response.error.empty();
    e.outcomeUnknown = response.outcomeUnknown;
    e.answer = parseResponse(response);
    for (std::string* text : {&e.answer.error, &e.answer.documentId, &e.answer.entryNumber, &e.answer.entryDate})
        *text = masked(*text, key);
    return e;
}

}  // namespace

SendDeclarationResponse readRestApiAnswer(int32_t status, std::string_view body) {
    SendDeclarationResponse out;
    try {
        out.httpStatus = status;
        out.rawBody = std::string(body);
        if (!isSuccess(status)) {
            out.error = "HTTP " + std::to_string(status);
            // Cut at a character, not inside one; an error page in another
            // character set is cleaned rather than passed on broken.
            if (!body.empty()) out.error += " — " + utf8::makeValid(utf8::cut(body, kErrorExcerptBytes));
            return out;
        }
        sj::ParseOutcome parsed = sj::parse(body);
        if (!parsed.value) {
            out.error = "json parse: " + utf8::makeValid(parsed.error);
            return out;
        }
        const json& value = *parsed.value;
        if (value.is_object()) {
            out.documentId = documentIdOf(value);
            out.entryNumber = fieldAsString(value, "entryNumber");
            out.entryDate = fieldAsString(value, "entryDate");
            out.base64HtmlResult = fieldAsString(value, "base64HtmlResult");
            out.base64FullHtmlResultInfo = fieldAsString(value, "base64FullHtmlResultInfo");
            out.base64Result = fieldAsString(value, "base64Result");
            if (const json* message = sj::member(value, "errorMessage")) out.error = asString(*message);
        }
        out.ok = !out.documentId.empty();
    } catch (const std::exception& e) {
        out.ok = false;
        out.error = "json parse: " + utf8::makeValid(e.what());
    }
    return out;
}

NapRestApiClient::NapRestApiClient(HttpClient& http, std::string submitUrl, std::string resultUrl, std::string apiKey)
    : http_(http), submitUrl_(std::move(submitUrl)), resultUrl_(std::move(resultUrl)), apiKey_(std::move(apiKey)) {}

SendDeclarationResponse NapRestApiClient::submit(const SendDeclarationRequest& request) {
    if (common::ascii::trimBlanks(apiKey_).empty()) {
        Logger::warn("NapRestApiClient::submit: no API key configured");
        return failure(kNoApiKey);
    }
    SendDeclarationResponse out;
    try {
        Exchange e = exchange(http_, submitUrl_, buildSubmitBody(request), apiKey_);
        out = std::move(e.answer);
        // Only a filing may have reached the agency with its answer lost.
        if (e.outcomeUnknown) out.error += std::string(" ") + kFilingMayHaveArrived;
    } catch (const std::exception& e) {
        out = failure(std::string("request: ") + utf8::makeValid(e.what()));
    }
    if (out.ok)
        Logger::info("NapRestApiClient::submit ok, doc=" + utf8::escapeForLog(out.documentId));
    else
        Logger::warn("NapRestApiClient::submit failed: " + utf8::escapeForLog(out.error));
    return out;
}

SendDeclarationResponse NapRestApiClient::checkStatus(const std::string& documentId, const std::string& taxpayerPin,
                                                      domain::NapIdentifierType taxpayerPinType,
                                                      const std::string& userPin, domain::NapIdentifierType userPinType,
                                                      const std::vector<uint8_t>& userSignature) {
    if (common::ascii::trimBlanks(apiKey_).empty()) {
        Logger::warn("NapRestApiClient::checkStatus: no API key configured");
        return failure(kNoApiKey);
    }
    SendDeclarationResponse out;
    bool exchanged = false;
    try {
        const std::string body =
            buildCheckStatusBody(documentId, taxpayerPin, taxpayerPinType, userPin, userPinType, userSignature);
        Exchange e = exchange(http_, resultUrl_, body, apiKey_);
        exchanged = e.completed;
        out = std::move(e.answer);
    } catch (const std::exception& e) {
        out = failure(std::string("request: ") + utf8::makeValid(e.what()));
    }
    if (!exchanged || !isSuccess(out.httpStatus)) {
        Logger::warn("NapRestApiClient::checkStatus failed: " + utf8::escapeForLog(out.error));
        return out;
    }
    out.ok = !out.documentId.empty();
    if (!out.ok) Logger::warn("NapRestApiClient::checkStatus: empty documentId in response");
    return out;
}

}  // namespace tavo::core::infra::http
