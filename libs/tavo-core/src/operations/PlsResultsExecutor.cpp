#include "operations/PlsResultsExecutor.h"
#include "common/Ascii.h"

#include <array>
#include <optional>

#include "common/Logger.h"
#include "common/Numbers.h"
#include "common/SafeJson.h"
#include "common/Utf8.h"
#include "domain/NapSession.h"
#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/parsing/HtmlScanners.h"
#include "infrastructure/parsing/HtmlUtils.h"
#include "operations/PlsSubmissionExecutor.h"
#include "operations/PortalPage.h"

namespace tavo::core::operations {
namespace {

using infra::parsing::HtmlUtils;
namespace safejson = common::safejson;
namespace scan = infra::parsing::scan;

// Data names of the DataTables columns, in the order the listing shows them.
constexpr std::array<const char*, 9> kColumnIds = {"",       "UIN",      "PERIOD", "INNO",      "INNODATE",
                                                   "SIGNER", "USERINFO", "DOCID",  "HAS_RESULT"};

// A parser message can quote a whole string token of the answer.
constexpr size_t kParserMessageMax = 400;

constexpr auto isBlank = &tavo::core::common::ascii::isSpace;

constexpr auto asciiLower = &tavo::core::common::ascii::toLower;

// Case-insensitive (ASCII) prefix test at pos; word is lower case.
bool wordAt(std::string_view text, size_t pos, std::string_view word) {
    if (text.size() - pos < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (asciiLower(text[pos + i]) != word[i]) return false;
    return true;
}

bool isSuccess(int status) {
    return status >= 200 && status <= 299;
}

InquiryResult errorResult(const std::string& message) {
    InquiryResult result;
    result.columns = listing::standardColumns();
    result.metadata["error"] = message;
    return result;
}

std::string listingHttpError(int status) {
    return "HTTP " + std::to_string(status) + " при четене на списъка с подадени документи.";
}

std::string stringMember(const safejson::json& object, std::string_view key) {
    return safejson::getString(object, key).value_or(std::string());
}

struct Period {
    int32_t month = 0;
    int32_t year = 0;
};

// "03.2024", "3-2024", "03/2024": month before the first separator, year after.
std::optional<Period> readPeriod(std::string_view text) {
    size_t sep = text.find_first_of("-./");
    if (sep == std::string_view::npos) return std::nullopt;
    auto month = common::leadingInt(text.substr(0, sep));
    auto year = common::leadingInt(text.substr(sep + 1));
    if (!month || !year) return std::nullopt;
    return Period{*month, *year};
}

}  // namespace

namespace listing {

std::vector<ColumnSpec> standardColumns() {
    return {{"companyId", "ЕИК / Булстат"}, {"periodMonth", "Месец"}, {"periodYear", "Година"},
            {"incomeNumber", "Вх. №"},      {"incomeDate", "Дата"},   {"documentId", "Документ ID"}};
}

std::string findDocumentId(std::string_view html) {
    for (size_t start = 0; start < html.size(); ++start) {
        // "rapid=", "tpId=": the name must start a word of its own.
        if (start > 0 && common::ascii::isWordChar(html[start - 1])) continue;
        size_t pos;
        if (wordAt(html, start, "pid"))
            pos = start + 3;
        else if (wordAt(html, start, "ipdoc_id"))
            pos = start + 8;
        else
            continue;
        while (pos < html.size() && isBlank(html[pos])) ++pos;
        if (pos >= html.size() || html[pos] != '=') continue;
        std::string_view digits = scan::digitsAt(html, pos + 1);
        if (!digits.empty()) return std::string(digits);
    }
    return {};
}

bool showsListing(std::string_view html) {
    for (size_t at = html.find('<'); at != std::string_view::npos; at = html.find('<', at + 1)) {
        if (!wordAt(html, at + 1, "table")) continue;
        size_t after = at + 6;
        if (after >= html.size() || isBlank(html[after]) || html[after] == '>' || html[after] == '/') return true;
    }
    return false;
}

bool isPageInsteadOfJson(std::string_view body) {
    size_t first = 0;
    while (first < body.size() && isBlank(body[first])) ++first;
    return first == body.size() || body[first] == '<';
}

std::vector<std::vector<std::string>> readHtmlRows(const std::string& body, const ResultsFilter& filter) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& fragment : HtmlUtils::extractDataRows(body)) {
        std::vector<std::string> cells = HtmlUtils::extractCells(fragment);
        if (cells.size() < 3) continue;
        std::string pid = findDocumentId(fragment);
        std::string number = HtmlUtils::stripHtml(cells[1]);
        std::string date = HtmlUtils::stripHtml(cells[2]);
        std::string year = cells.size() >= 6 ? HtmlUtils::stripHtml(cells[5]) : std::string();
        if (filter.year && !year.empty()) {
            auto value = common::leadingInt(year);
            if (value && *value != *filter.year) continue;
        }
        rows.push_back(
            {filter.eik, std::string(), std::move(year), std::move(number), std::move(date), std::move(pid)});
    }
    return rows;
}

void readAjaxAnswer(std::string_view body, const ResultsFilter& filter, InquiryResult& result) {
    auto parsed = safejson::parse(body);
    if (!parsed.value) {
        result.metadata["error"] =
            "Невалиден JSON отговор: " + common::utf8::cut(common::utf8::makeValid(parsed.error), kParserMessageMax);
        return;
    }
    const safejson::json* data = safejson::member(*parsed.value, "data");
    if (data == nullptr || !data->is_array()) {
        result.metadata["count"] = std::to_string(0);  // moved in: g++ 12 -O3 warns falsely on assigning "0"
        return;
    }
    for (const safejson::json& element : *data) {
        if (!element.is_object()) continue;
        std::string period = stringMember(element, "PERIOD");
        std::string uin = stringMember(element, "UIN");
        auto read = readPeriod(period);
        if (read) {
            if (filter.year && *filter.year != read->year) continue;
            if (filter.month && *filter.month != read->month) continue;
        }
        result.rows.push_back({uin.empty() ? filter.eik : uin, read ? std::to_string(read->month) : std::string(),
                               read ? std::to_string(read->year) : std::string(), stringMember(element, "INNO"),
                               stringMember(element, "INNODATE"), stringMember(element, "DOCID")});
    }
    result.metadata["count"] = std::to_string(result.rows.size());
}

std::unordered_map<std::string, std::string> ajaxRequestFields() {
    std::unordered_map<std::string, std::string> fields{
        {"draw", "1"},   {"start", "0"},    {"length", "100"}, {"search[value]", ""}, {"search[regex]", "false"},
        {"choice", "1"}, {"searchstr", ""},
    };
    for (size_t i = 0; i < kColumnIds.size(); ++i) {
        const std::string prefix = "columns[" + std::to_string(i) + "]";
        fields[prefix + "[data]"] = kColumnIds[i];
        fields[prefix + "[name]"] = "";
        fields[prefix + "[searchable]"] = "true";
        fields[prefix + "[orderable]"] = "false";
        fields[prefix + "[search][value]"] = "";
        fields[prefix + "[search][regex]"] = "false";
    }
    return fields;
}

}  // namespace listing

InquiryResult fetchHtmlTableResults(domain::NapSession& session, const ISubmission& submission,
                                    const ResultsFilter& filter) {
    auto link = session.prepareFor(submission, filter.eik, 0);
    if (!link) return errorResult(session.lastError());
    std::string url = submission.listDocumentsUrl(*link);
    if (url.empty()) return errorResult("listDocumentsUrl is empty for handler.");

    Logger::info("PlsResultsExecutor(HTML): GET " + url);
    auto response = session.get(url);
    if (!isSuccess(response.status)) return errorResult(listingHttpError(response.status));
    // The portal's legacy pages may come in Windows-1251: cells are read as UTF-8.
    std::string page = upload::pageAsUtf8(response.body, portalpage::headerValue(response.headers, "content-type"));
    response.body.clear();
    if (portalpage::endedElsewhere(url, response.effectiveUrl) || !listing::showsListing(page)) {
        // A lapsed session answers with its login page: never an empty listing.
        Logger::warn("PlsResultsExecutor(HTML): the answer is no listing (" + std::to_string(page.size()) +
                     " bytes, ended at " + common::utf8::escapeForLog(common::utf8::cut(response.effectiveUrl, 200)) +
                     ")");
        return errorResult(portalpage::lapsedSessionMessage("списъка с подадени документи"));
    }

    InquiryResult result;
    result.columns = listing::standardColumns();
    result.rows = listing::readHtmlRows(page, filter);
    result.metadata["count"] = std::to_string(result.rows.size());
    result.rawBody = std::move(page);
    result.rawBodyContentType = "text/html; charset=utf-8";
    result.rawBodyUrl = url;
    return result;
}

InquiryResult fetchAjaxJsonResults(domain::NapSession& session, const ISubmission& submission,
                                   const std::string& endpoint, const ResultsFilter& filter) {
    auto link = session.prepareFor(submission, filter.eik, 0);
    if (!link) return errorResult(session.lastError());
    std::string url = std::string(infra::nap::kPlsPubBase) + endpoint;
    Logger::info("PlsResultsExecutor(AJAX): POST " + url);

    const domain::NapSession::Headers headers{{"Accept", "application/json, text/javascript, */*; q=0.01"},
                                              {"X-Requested-With", "XMLHttpRequest"}};
    auto response = session.postForm(url, listing::ajaxRequestFields(), headers);
    if (!isSuccess(response.status)) return errorResult(listingHttpError(response.status));
    if (listing::isPageInsteadOfJson(response.body)) {
        // A lapsed session answers with its login page: never an empty listing.
        Logger::warn("PlsResultsExecutor(AJAX): the answer is a page, not the listing (" +
                     std::to_string(response.body.size()) + " bytes)");
        return errorResult(portalpage::lapsedSessionMessage("списъка с подадени документи"));
    }

    InquiryResult result;
    result.columns = listing::standardColumns();
    listing::readAjaxAnswer(response.body, filter, result);
    result.rawBody = std::move(response.body);
    result.rawBodyContentType = "application/json";
    result.rawBodyUrl = url;
    return result;
}

}  // namespace tavo::core::operations
