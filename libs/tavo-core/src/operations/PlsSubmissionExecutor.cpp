#include "operations/PlsSubmissionExecutor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <utility>

#include "common/Ascii.h"
#include "common/Base64.h"
#include "common/CookieLine.h"
#include "common/Cp1251.h"
#include "common/Files.h"
#include "common/Logger.h"
#include "common/Numbers.h"
#include "common/Pause.h"
#include "common/Utf8.h"
#include "domain/NapSession.h"
#include "infrastructure/compression/Gzip.h"
#include "infrastructure/http/HttpClient.h"
#include "infrastructure/parsing/BulgarianDates.h"
#include "infrastructure/parsing/HtmlScanners.h"
#include "infrastructure/parsing/HtmlUtils.h"
#include "infrastructure/parsing/HttpDate.h"
#include "infrastructure/signing/ISigner.h"
#include "operations/PortalPage.h"

namespace tavo::core::operations {
namespace {

using infra::parsing::BulgarianDates;
using infra::parsing::HtmlUtils;
namespace scan = infra::parsing::scan;
namespace utf8 = common::utf8;
namespace files = common::files;

constexpr size_t kErrorTextMax = 400;
constexpr size_t kLogPreviewMax = 500;
// File names, URLs and listing cells in one log line.
constexpr size_t kLogFieldMax = 200;

// The answer to the upload was lost after the request went out: the agency
// may hold the filing, as after a lost REST submission.
const std::string kUnknownOutcome = std::string("Връзката с НАП прекъсна и отговорът на подаването не беше получен. ") +
                                    infra::http::kFilingMayHaveArrived;

// Words of a refusal, looked for first in the lower-cased visible text. A
// negated acceptance ("не е приет") holds an acceptance word, so it is one.
constexpr std::string_view kRefusalWords[] = {"грешка",  "error",        "неуспешн",    "не е приет",
                                              "неприет", "unsuccessful", "not accepted"};
constexpr std::string_view kAcceptanceWords[] = {"успешно", "приет", "success"};

constexpr auto isBlank = &tavo::core::common::ascii::isSpace;

constexpr auto isDigit = &tavo::core::common::ascii::isDigit;

constexpr auto asciiLower = &tavo::core::common::ascii::toLower;

// What the page says: its visible text, entities decoded, blanks collapsed.
std::string visibleText(std::string_view body) {
    return HtmlUtils::stripHtml(scan::visibleText(body));
}

// Page text for a user-facing message: valid UTF-8, cut between characters.
std::string pageText(std::string_view body) {
    return utf8::cut(utf8::makeValid(visibleText(body)), kErrorTextMax);
}

std::string forLog(std::string_view text, size_t maxBytes = kLogFieldMax) {
    return utf8::escapeForLog(utf8::cut(text, maxBytes));
}

bool isWindows1251(std::string_view label) {
    return label == "windows-1251" || label == "cp1251" || label == "x-cp1251";
}

// "YYYY-MM-DD" optionally followed by a blank or "T" and "HH:MM" or
// "HH:MM:SS"; the text of the date and of the minute.
std::optional<std::string> isoMinute(std::string_view t) {
    auto digitsAt = [&t](size_t pos, size_t count) {
        if (t.size() < pos + count) return false;
        for (size_t k = 0; k < count; ++k)
            if (!isDigit(t[pos + k])) return false;
        return true;
    };
    if (!digitsAt(0, 4) || t.size() < 10 || t[4] != '-' || !digitsAt(5, 2) || t[7] != '-' || !digitsAt(8, 2))
        return std::nullopt;
    std::string out(t.substr(0, 10));
    if (t.size() == 10) return out + "T00:00";
    if ((t[10] != ' ' && t[10] != 'T') || !digitsAt(11, 2) || t.size() < 16 || t[13] != ':' || !digitsAt(14, 2))
        return std::nullopt;
    if (t.size() != 16 && (t.size() != 19 || t[16] != ':' || !digitsAt(17, 2))) return std::nullopt;
    return out + "T" + std::string(t.substr(11, 5));
}

std::optional<int> parseOptionalInt(const ParameterValues& params, const std::string& key) {
    auto it = params.find(key);
    if (it == params.end() || it->second.empty()) return std::nullopt;
    return common::leadingInt(it->second);
}

int currentYear() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += ", ";
        out += item;
    }
    return out;
}

SubmissionResult failure(std::string message) {
    SubmissionResult result;
    result.errorMessage = std::move(message);
    return result;
}

void warnNoRowChosen(const std::vector<std::string>& first, const std::string& documentId,
                     const std::string& uploadMinute) {
    if (documentId.empty())
        Logger::warn(
            "PlsSubmissionExecutor: the answer named no document and the listing's first row is dated "
            "before the upload started (" +
            uploadMinute + " Sofia time); incoming number left empty");
    else if (first.size() >= 6 && !first[5].empty())
        Logger::warn("PlsSubmissionExecutor: no listing row carries document " + forLog(documentId) +
                     " and the first row belongs to another document; incoming number left empty");
    else
        Logger::warn("PlsSubmissionExecutor: no listing row carries document " + forLog(documentId) +
                     " and the first row is dated before the upload started (" + uploadMinute +
                     " Sofia time); incoming number left empty");
}

void lookUpNewDocument(domain::NapSession& session, ISubmission& submission, const ParameterValues& params, int year,
                       std::optional<int> month, const std::string& uploadMinute, SubmissionResult& result) {
    std::string eik = params.getOr("eik", "");
    if (!session.prepareFor(submission, eik, 0)) {
        Logger::warn("PlsSubmissionExecutor: results-context prepareFor failed: " + forLog(session.lastError()));
        return;
    }
    // The portal lists a new document only a moment after accepting it.
    common::pauseFor(std::chrono::seconds(1));

    ResultsFilter filter;
    filter.eik = eik;
    filter.year = year;
    filter.month = month;
    InquiryResult listing = submission.fetchResults(session, filter);
    Logger::info("PlsSubmissionExecutor: post-submit fetchResults returned " + std::to_string(listing.rows.size()) +
                 " row(s)");
    if (auto error = listing.metadata.find("error"); error != listing.metadata.end())
        Logger::warn("PlsSubmissionExecutor: results listing failed: " + forLog(error->second));
    if (listing.rows.empty()) {
        Logger::warn("PlsSubmissionExecutor: no rows in results listing for the new submission");
        return;
    }
    auto chosen = upload::chooseRow(listing.rows, result.documentId, uploadMinute);
    if (!chosen) {
        warnNoRowChosen(listing.rows.front(), result.documentId, uploadMinute);
        return;
    }
    const auto& row = listing.rows[*chosen];
    if (row.size() >= 4) result.incomeNumber = row[3];
    if (row.size() >= 5) result.submissionDate = row[4];
    if (row.size() >= 6 && result.documentId.empty()) result.documentId = row[5];
    Logger::info("PlsSubmissionExecutor: matched row income=" + forLog(result.incomeNumber) +
                 " date=" + forLog(result.submissionDate) + " docId=" + forLog(result.documentId));
}

}  // namespace

namespace upload {

std::string findPid(std::string_view html) {
    for (size_t start = 0; start + 3 < html.size(); ++start) {
        if (asciiLower(html[start]) != 'p' || asciiLower(html[start + 1]) != 'i' || asciiLower(html[start + 2]) != 'd')
            continue;
        // "appId:2", "tpId=...", "rapid=7": the name must start a word of its own.
        if (start > 0 && common::ascii::isWordChar(html[start - 1])) continue;
        size_t pos = start + 3;
        if (html[pos] != '=' && html[pos] != ':') continue;
        std::string_view digits = scan::digitsAt(html, pos + 1);
        if (!digits.empty()) return std::string(digits);
    }
    return {};
}

std::string lowerCaseCopy(std::string text) {
    size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            text[i] = asciiLower(text[i]);
            ++i;
        } else if (byte == 0xD0) {
            if (i + 1 < text.size()) {
                auto next = static_cast<unsigned char>(text[i + 1]);
                if (next >= 0x90 && next <= 0x9F) {
                    text[i + 1] = static_cast<char>(next | 0x20);
                } else if (next >= 0xA0 && next <= 0xAF) {
                    text[i] = static_cast<char>(0xD1);
                    text[i + 1] = static_cast<char>(next - 0x20);
                }
            }
            i += 2;
        } else if ((byte & 0xE0) == 0xC0) {
            i += 2;
        } else if ((byte & 0xF0) == 0xE0) {
            i += 3;
        } else if ((byte & 0xF8) == 0xF0) {
            i += 4;
        } else {
            ++i;
        }
    }
    return text;
}

Verdict readVerdict(int status, std::string_view body) {
    Verdict verdict;
    if (status == 0) {
        verdict.errorMessage = kUnknownOutcome;
        return verdict;
    }
    if (status < 200 || status > 299) {
        verdict.errorMessage = "HTTP " + std::to_string(status) + " при подаване към НАП";
        if (!body.empty()) {
            std::string text = pageText(body);
            if (!text.empty()) verdict.errorMessage += ": " + text;
        }
        return verdict;
    }
    verdict.documentId = findPid(body);
    const std::string words = lowerCaseCopy(visibleText(body));
    auto hasAny = [&words](const auto& list) {
        for (std::string_view word : list)
            if (words.find(word) != std::string::npos) return true;
        return false;
    };
    if (hasAny(kRefusalWords)) {
        verdict.errorMessage = pageText(body);
    } else if (hasAny(kAcceptanceWords)) {
        verdict.success = true;
    } else {
        verdict.success = !verdict.documentId.empty();
        if (!verdict.success) verdict.errorMessage = "Неразпознат отговор от НАП (без pid и без съобщение).";
    }
    return verdict;
}

std::string pageAsUtf8(std::string_view body, std::string_view contentType) {
    std::string label = scan::charsetParameter(contentType);
    if (label.empty()) label = scan::metaCharset(body);
    if (isWindows1251(label)) return common::Cp1251::ToUtf8(std::string(body));
    if (utf8::isValid(body)) return std::string(body);
    if (label.empty()) return common::Cp1251::ToUtf8(std::string(body));
    return utf8::makeValid(body);
}

std::optional<std::string> listingMinute(const std::string& text) {
    if (auto iso = BulgarianDates::parseDateIso(text)) return isoMinute(*iso);
    std::string_view t = text;
    while (!t.empty() && isBlank(t.front())) t.remove_prefix(1);
    while (!t.empty() && isBlank(t.back())) t.remove_suffix(1);
    return isoMinute(t);
}

void normaliseLineEnds(std::vector<uint8_t>& bytes) {
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        bytes.erase(bytes.begin(), bytes.begin() + 3);
    const size_t size = bytes.size();
    size_t extra = 0;
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] == '\r') {
            if (i + 1 < size && bytes[i + 1] == '\n')
                ++i;
            else
                ++extra;
        } else if (bytes[i] == '\n') {
            ++extra;
        }
    }
    if (extra == 0) return;
    // Filled from the back in place: the file is held once, not twice.
    bytes.resize(size + extra);
    uint8_t* p = bytes.data();
    size_t in = size;
    size_t out = size + extra;
    while (in > 0) {
        uint8_t c = p[--in];
        if (c == '\n') {
            if (in > 0 && p[in - 1] == '\r') --in;
            p[--out] = '\n';
            p[--out] = '\r';
        } else if (c == '\r') {
            p[--out] = '\n';
            p[--out] = '\r';
        } else {
            p[--out] = c;
        }
    }
}

std::optional<std::vector<uint8_t>> readRegularFile(const std::string& path) {
    files::ReadResult read = files::readRegularFile(path);
    if (!read.ok()) return std::nullopt;
    // Room for the CR bytes line-end normalisation usually adds.
    read.bytes.reserve(read.bytes.size() + read.bytes.size() / 16 + 64);
    return std::move(read.bytes);
}

std::string uploadStartMinute(std::string_view portalDate, std::chrono::steady_clock::duration took,
                              std::time_t machineStart) {
    std::optional<std::time_t> answered = infra::parsing::parseHttpDate(portalDate);
    if (!answered) return BulgarianDates::sofiaMinute(machineStart);
    const auto tookSeconds = std::chrono::ceil<std::chrono::seconds>(took).count();
    return BulgarianDates::sofiaMinute(*answered - static_cast<std::time_t>(tookSeconds));
}

std::vector<std::string> cookieNames(std::string_view cookieFile) {
    std::vector<std::string> names;
    common::cookies::forEachCookie(cookieFile, [&names](const common::cookies::CookieLine& cookie) {
        if (!cookie.name.empty()) names.emplace_back(cookie.name);
    });
    return names;
}

std::optional<size_t> chooseRow(const std::vector<std::vector<std::string>>& rows, const std::string& documentId,
                                std::string_view uploadMinute) {
    if (rows.empty()) return std::nullopt;
    const auto& first = rows.front();
    if (!documentId.empty()) {
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].size() >= 6 && rows[i][5] == documentId) return i;
        if (first.size() >= 6 && !first[5].empty()) return std::nullopt;
    }
    // No row names the new filing: only its date can tell it from an older one.
    if (first.size() < 5) return std::nullopt;
    auto minute = listingMinute(first[4]);
    if (!minute || *minute < uploadMinute) return std::nullopt;
    return 0;
}

}  // namespace upload

namespace {

// The two big fields of the upload form.
struct Payload {
    std::string pdata;  // Base64 of the deterministic gzip of the normalised file
    std::string psign;  // Base64 of the detached signature over the same bytes
};

struct UploadForm {
    std::string url;
    std::string fileName;
    int year = 0;
    std::optional<int> month;
    size_t pdataLength = 0;
    size_t psignLength = 0;
    domain::NapSession::Headers fields;
};

// The user's message when the session cannot sign; empty when it can.
std::string signingSetupError(domain::NapSession& session) {
    if (session.signer() == nullptr) {
        Logger::error("PlsSubmissionExecutor: NapSession has no signer");
        return "Не е инициализиран signer за сесията.";
    }
    if (session.identity().certificateId.empty()) return "Не е избран сертификат (certificateId is empty).";
    return {};
}

// The file's bytes as they are filed, or the user's message why there are none.
std::string readDeclaration(const std::string& filePath, std::vector<uint8_t>& normalised) {
    auto file = upload::readRegularFile(filePath);
    if (!file) return "Файлът не може да бъде прочетен: " + utf8::makeValid(filePath);
    normalised = std::move(*file);
    file.reset();
    upload::normaliseLineEnds(normalised);
    // A byte-order mark alone declares nothing: it is refused like a 0-byte file.
    if (normalised.empty()) return "Файлът е празен: " + utf8::makeValid(filePath);
    return {};
}

std::string compress(const std::vector<uint8_t>& normalised, std::string& pdata) {
    std::vector<uint8_t> gzip = infra::compression::gzipDeterministic(normalised.data(), normalised.size());
    if (gzip.empty()) return "Компресирането (gzip) на файла не успя.";
    pdata = common::base64::encode(gzip.data(), gzip.size());
    return {};
}

std::string sign(domain::NapSession& session, const std::vector<uint8_t>& normalised, std::string& psign) {
    std::vector<uint8_t> signature;
    try {
        signature = session.signer()->signDataForPortal(normalised, session.identity().certificateId, session.pin());
    } catch (const signing::SigningCancelledException&) {
        return "Подписването беше отказано от потребителя.";
    } catch (const signing::InvalidPinException&) {
        return "Грешен PIN код.";
    } catch (const std::exception& e) {
        Logger::error("PlsSubmissionExecutor: signing failed — " + forLog(e.what(), kLogPreviewMax));
        return std::string("Грешка при подписване: ") + e.what();
    }
    if (signature.empty()) return "Подписът е празен — неуспешно подписване.";
    psign = common::base64::encode(signature.data(), signature.size());
    return {};
}

// Reads, normalises, compresses and signs the file; the user's message when a
// step fails, empty otherwise.
std::string preparePayload(domain::NapSession& session, const std::string& filePath, Payload& payload) {
    if (std::string error = signingSetupError(session); !error.empty()) return error;
    std::vector<uint8_t> normalised;
    if (std::string error = readDeclaration(filePath, normalised); !error.empty()) return error;
    if (std::string error = compress(normalised, payload.pdata); !error.empty()) return error;
    return sign(session, normalised, payload.psign);
}

UploadForm buildForm(ISubmission& submission, const domain::NapServiceLink& link, const std::string& filePath,
                     const ParameterValues& params, Payload payload) {
    UploadForm form;
    form.year = parseOptionalInt(params, "year").value_or(currentYear());
    form.month = parseOptionalInt(params, "month");
    form.url = submission.uploadUrl(link);
    form.fileName = submission.submitFileName(filePath);
    form.pdataLength = payload.pdata.size();
    form.psignLength = payload.psign.size();
    form.fields["pfilename"] = form.fileName;
    form.fields["pyear"] = std::to_string(form.year);
    form.fields["pdata"] = std::move(payload.pdata);
    form.fields["psign"] = std::move(payload.psign);
    form.fields["signerId"] = "5";
    for (auto& [name, value] : submission.additionalFormParameters(form.month, params.getOr("iban", "")))
        form.fields[name] = std::move(value);
    return form;
}

void logUpload(domain::NapSession& session, const UploadForm& form) {
    Logger::info("PlsSubmissionExecutor: POST " + forLog(form.url) + " (file=" + forLog(form.fileName) + ", year=" +
                 std::to_string(form.year) + (form.month ? ", month=" + std::to_string(*form.month) : std::string()) +
                 ", pdata=" + std::to_string(form.pdataLength) + " chars" +
                 ", psign=" + std::to_string(form.psignLength) + " chars)");
    Logger::info("PlsSubmissionExecutor: cookies in jar [" + joined(upload::cookieNames(session.exportCookies())) +
                 "]");
}

// Posts the form and reads the agency's answer into the result; uploadMinute
// is when the upload started, on the portal's clock where its answer shows it.
SubmissionResult postAndReadVerdict(domain::NapSession& session, UploadForm& form, std::string& uploadMinute) {
    const std::time_t machineStart = std::time(nullptr);
    const auto started = std::chrono::steady_clock::now();
    auto response = session.postForm(form.url, form.fields, infra::http::kAcceptHtmlBrowser);
    const auto took = std::chrono::steady_clock::now() - started;
    form.fields.clear();
    uploadMinute = upload::uploadStartMinute(portalpage::headerValue(response.headers, "date"), took, machineStart);
    Logger::info("PlsSubmissionExecutor: response HTTP " + std::to_string(response.status) +
                 " (body=" + std::to_string(response.body.size()) + "B): " + forLog(response.body, kLogPreviewMax));
    if (response.status == 0)
        Logger::error(
            "PlsSubmissionExecutor: the answer to the upload was lost in transport; the outcome is unknown "
            "and the upload is not repeated");
    std::string page = upload::pageAsUtf8(response.body, portalpage::headerValue(response.headers, "content-type"));
    response.body.clear();

    SubmissionResult result;
    upload::Verdict verdict = upload::readVerdict(response.status, page);
    result.success = verdict.success;
    result.documentId = std::move(verdict.documentId);
    result.errorMessage = std::move(verdict.errorMessage);
    result.rawBody = std::move(page);
    result.rawBodyContentType = "text/html; charset=utf-8";
    result.rawBodyUrl = form.url;
    return result;
}

// The agency holds the filing from here on: nothing may turn it into a
// failure or lose its document id.
void lookUpAfterAcceptance(domain::NapSession& session, ISubmission& submission, const ParameterValues& params,
                           const UploadForm& form, const std::string& uploadMinute, SubmissionResult& result) {
    try {
        lookUpNewDocument(session, submission, params, form.year, form.month, uploadMinute, result);
    } catch (const std::exception& e) {
        Logger::error("PlsSubmissionExecutor: upload accepted (document " + forLog(result.documentId) +
                      "), but looking up its incoming number failed: " + forLog(e.what(), kLogPreviewMax));
    } catch (...) {
        Logger::error("PlsSubmissionExecutor: upload accepted (document " + forLog(result.documentId) +
                      "), but looking up its incoming number failed");
    }
}

}  // namespace

SubmissionResult executePlsSubmission(domain::NapSession& session, ISubmission& submission, const std::string& filePath,
                                      const ParameterValues& params) {
    auto link = session.prepareForParams(submission, params);
    if (!link) return failure(session.lastError());
    Payload payload;
    if (std::string error = preparePayload(session, filePath, payload); !error.empty())
        return failure(std::move(error));

    UploadForm form = buildForm(submission, *link, filePath, params, std::move(payload));
    logUpload(session, form);
    std::string uploadMinute;
    SubmissionResult result = postAndReadVerdict(session, form, uploadMinute);
    if (result.success) lookUpAfterAcceptance(session, submission, params, form, uploadMinute, result);
    return result;
}

}  // namespace tavo::core::operations
