#include "operations/IPortalHandler.h"
#include "common/Ascii.h"

#include <array>

namespace tavo::core::operations {
namespace {

constexpr std::array<std::string_view, 3> kSubmitWords = {"Submit", "Подаване", "Подай"};
constexpr std::array<std::string_view, 5> kResultsWords = {"Report", "Submitted", "Резултат", "Подадени",
                                                           "listDocuments"};
constexpr std::array<std::string_view, 4> kProcedureSuffixes = {".publicEntry", ".listDocuments", ".upload_file",
                                                                ".showResult"};

constexpr auto asciiLower = &tavo::core::common::ascii::toLower;
constexpr auto asciiUpper = &tavo::core::common::ascii::toUpper;

template <size_t N>
bool titleHasAny(const std::string& title, const std::array<std::string_view, N>& words) {
    for (std::string_view w : words)
        if (icontains(title, w)) return true;
    return false;
}

bool endsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix) {
    if (suffix.size() > text.size()) return false;
    std::string_view tail = text.substr(text.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i)
        if (asciiLower(tail[i]) != asciiLower(suffix[i])) return false;
    return true;
}

bool isDateSeparator(char c) {
    return c == '.' || c == '/' || c == '-';
}

// Whether the year stands in the title as a number of its own: no digit
// right before or after it, and not a part of a date ("30.04.2024").
bool holdsYearOnItsOwn(std::string_view title, std::string_view year) {
    auto digitAt = [title](size_t pos) { return pos < title.size() && common::ascii::isDigit(title[pos]); };
    for (size_t at = title.find(year); at != std::string_view::npos; at = title.find(year, at + 1)) {
        const size_t end = at + year.size();
        const bool digitBefore = at > 0 && digitAt(at - 1);
        const bool dateBefore = at > 1 && isDateSeparator(title[at - 1]) && digitAt(at - 2);
        const bool dateAfter = end < title.size() && isDateSeparator(title[end]) && digitAt(end + 1);
        if (!digitBefore && !digitAt(end) && !dateBefore && !dateAfter) return true;
    }
    return false;
}

// The first submit link whose title holds the year: on its own when any
// title does, else anywhere in the title.
const domain::NapServiceLink* submitLinkNamingYear(const domain::NapService& service, int year) {
    const std::string yearText = std::to_string(year);
    const domain::NapServiceLink* anywhere = nullptr;
    for (const auto& link : service.links) {
        if (!titleHasAny(link.title, kSubmitWords) || link.title.find(yearText) == std::string::npos) continue;
        if (holdsYearOnItsOwn(link.title, yearText)) return &link;
        if (!anywhere) anywhere = &link;
    }
    return anywhere;
}

}  // namespace

bool icontains(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > haystack.size()) return false;
    for (size_t start = 0; start + needle.size() <= haystack.size(); ++start) {
        size_t i = 0;
        while (i < needle.size() && asciiLower(haystack[start + i]) == asciiLower(needle[i])) ++i;
        if (i == needle.size()) return true;
    }
    return false;
}

std::optional<domain::NapServiceLink> IPortalHandler::findSubmitLinkForYear(const domain::NapService& service,
                                                                            int year) const {
    if (service.links.empty()) return std::nullopt;
    if (year >= 1) {
        // "Подаване за 2023 г. (срок до 30.04.2024 г.)" is no 2024 service.
        if (const domain::NapServiceLink* link = submitLinkNamingYear(service, year)) return *link;
    }
    std::string wanted = submitLinkName();
    if (!wanted.empty()) {
        // A named submit link that the portal does not offer is no link: a
        // guess by order could file into another year's service.
        for (const auto& link : service.links)
            if (link.name == wanted) return link;
        return std::nullopt;
    }
    const domain::NapServiceLink* best = nullptr;
    for (const auto& link : service.links)
        if (titleHasAny(link.title, kSubmitWords) && (!best || link.orderNum < best->orderNum)) best = &link;
    if (!best) return std::nullopt;
    return *best;
}

std::optional<domain::NapServiceLink> IPortalHandler::findResultsLink(const domain::NapService& service) const {
    if (service.links.empty()) return std::nullopt;
    std::string wanted = resultsLinkName();
    if (!wanted.empty()) {
        for (const auto& link : service.links)
            if (link.name == wanted) return link;
    }
    for (const auto& link : service.links)
        if (titleHasAny(link.title, kResultsWords)) return link;
    return std::nullopt;
}

std::string IPortalHandler::serviceIdentifierFromLink(const domain::NapServiceLink& link) const {
    auto it = link.props.find("url");
    if (it == link.props.end() || it->second.empty()) return serviceIdentifier();
    std::string_view rest = it->second;
    rest = rest.substr(0, rest.find('?'));
    for (std::string_view suffix : kProcedureSuffixes) {
        if (endsWithIgnoringAsciiCase(rest, suffix)) {
            rest.remove_suffix(suffix.size());
            break;
        }
    }
    if (rest.empty()) return serviceIdentifier();
    std::string upper(rest);
    for (char& ch : upper) ch = asciiUpper(ch);
    return upper;
}

}  // namespace tavo::core::operations
