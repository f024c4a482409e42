#include "infrastructure/http/CurlText.h"

#include <array>

namespace tavo::core::infra::http {
namespace {

constexpr std::string_view kRedacted = "[redacted]";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool isUrlEnd(char c) {
    return c == ' ' || c == '\t' || c == '\'' || c == '"' || c == '<' || c == '>';
}

// Every "scheme://" run loses what follows '?' or '#' up to the end of the URL.
std::string dropQueries(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    std::size_t pos = 0;
    while (pos < line.size()) {
        std::size_t scheme = line.find("://", pos);
        if (scheme == std::string_view::npos) {
            out += line.substr(pos);
            break;
        }
        std::size_t end = scheme + 3;
        while (end < line.size() && !isUrlEnd(line[end])) ++end;
        std::string_view url = line.substr(scheme + 3, end - scheme - 3);
        std::size_t cut = url.find_first_of("?#");
        out += line.substr(pos, scheme + 3 - pos);
        out += url.substr(0, cut);
        pos = end;
    }
    return out;
}

// A cookie name holding a URL loses everything from its query on: a cut that
// stopped at a quote could join an '=' to it and forge a value's opening.
std::string dropNameQuery(std::string_view name) {
    std::size_t scheme = name.find("://");
    if (scheme == std::string_view::npos) return std::string(name);
    return std::string(name.substr(0, name.find_first_of("?#", scheme + 3)));
}

// libcurl writes cookie lines as: <verb> cookie NAME="VALUE" for domain ...
// The value may hold quotes, so it runs to the last `" for domain`, or to the
// end of the line when that tail is missing. Queries are dropped on either
// side of the value, never across its opening `="`, so that the logged line
// shows the same value bounds when read again.
std::string redactCookieLine(std::string_view line) {
    std::size_t open = line.find("=\"");
    if (open == std::string_view::npos) return dropNameQuery(line);
    std::size_t valueStart = open + 2;
    std::size_t close = line.rfind("\" for domain");
    std::string out = dropNameQuery(line.substr(0, open));
    out += "=\"";
    out += kRedacted;
    if (close != std::string_view::npos && close >= valueStart) out += dropQueries(line.substr(close));
    return out;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> parseHeaderLine(std::string_view line) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view value = line.substr(colon + 1);
    std::size_t first = value.find_first_not_of(" \t");
    value = first == std::string_view::npos ? std::string_view() : value.substr(first);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.remove_suffix(1);
    return std::make_pair(std::string(line.substr(0, colon)), std::string(value));
}

std::string redactCurlInfo(std::string_view line) {
    static constexpr std::array<std::string_view, 2> kCookieVerbs = {"Added cookie ", "Replaced cookie "};
    for (std::string_view verb : kCookieVerbs)
        if (startsWith(line, verb)) return redactCookieLine(line);
    return dropQueries(line);
}

std::string urlForLog(std::string_view url) {
    std::size_t cut = url.find_first_of("?#");
    return std::string(url.substr(0, cut));
}

}  // namespace tavo::core::infra::http
