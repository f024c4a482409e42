#include "infrastructure/http/CurlText.h"

#include <algorithm>
#include <array>

namespace tavo::core::infra::http {
namespace {

constexpr std::string_view kRedacted = "[redacted]";

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

// Lines libcurl writes about connections, TLS, ALPN and transfer status: they
// carry no header, request target or cookie, only addresses (whose queries
// are dropped all the same). Any other informational line is withheld, so a
// line shape a later libcurl invents cannot leak a secret.
constexpr std::string_view kSafePrefixes[] = {
    "Trying ",
    "Connected to ",
    "Connecting to hostname",
    "Connecting to port",
    "ALPN",
    "TLSv1",
    "SSLv3",
    "TLS header",
    "TLS handshake",
    "TLS alert",
    "TLS change cipher",
    "SSL connection using",
    "SSL certificate verify",
    "SSL certificate problem",
    "SSL re-using session ID",
    "SSL_",
    "old SSL session ID",
    "OpenSSL ",
    "Server certificate",
    "subject:",
    "start date:",
    "expire date:",
    "issuer:",
    "subjectAltName:",
    "common name:",
    "CAfile:",
    "CApath:",
    "successfully set certificate verify locations",
    "Using HTTP2",
    "Using HTTP/2",
    "Using Stream ID",
    "Connection #",
    "Connection state changed",
    "Connection died",
    "Connection cache",
    "Closing connection",
    "Re-using existing connection",
    "Found bundle",
    "Mark bundle",
    "Hostname ",
    "Could not resolve",
    "Failed to connect",
    "Immediate connect fail",
    "Operation timed out",
    "Resolving timed out",
    "Connection timed out",
    "Send failure",
    "Recv failure",
    "Maximum file size exceeded",
    "Failure writing",
    "Failed writing",
    "Failed reading",
    "Issue another request to this URL",
    "Ignoring the response-body",
    "We are completely uploaded and fine",
    "Maximum (",
    "HTTP/2 stream",
    "HTTP/2 found",
    "HTTP/1.",
    "Copying HTTP/2 data",
    "Received HTTP/0.9",
    "Excess found",
    "Leftovers after chunking",
    "no chunk, no close, no size",
    "Empty reply from server",
    "The requested URL returned error",
    "Clear auth, redirects",
    "Switch from POST to GET",
    "Stopped the pause stream",
    "nghttp2",
    "http2 error",
    "Protocol ",
    "unable to set private key",
    "unable to use client certificate",
    "could not load",
    "error:",
    "Unsupported proxy",
    "IPv4: ",
    "IPv6: ",
    "processing: ",
    "NPN",
    "using HTTP/",
    "Can not multiplex",
    "Multiplexed connection",
    "Connection is not available",
};

// Lines that print request headers, one per line: "h2h3 [name: value]" of
// libcurl 7.8x, "[HTTP/2] [1] [name: value]" of later versions.
constexpr std::string_view kHeaderLinePrefixes[] = {"h2h3 [", "http2 [", "h3 [", "[HTTP/2]", "[HTTP/3]"};

constexpr std::string_view kWithheld = "[withheld]";

bool isTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// The header group "[name: value]" keeps "[name: " and loses the rest.
// A line without such a group is withheld whole.
std::string redactHeaderLine(std::string_view line) {
    for (std::size_t open = line.find('['); open != std::string_view::npos; open = line.find('[', open + 1)) {
        std::size_t i = open + 1;
        if (i < line.size() && line[i] == ':') ++i;  // HTTP/2 pseudo headers
        const std::size_t nameStart = i;
        while (i < line.size() && isTokenChar(line[i])) ++i;
        if (i == nameStart || i + 1 >= line.size() || line[i] != ':' || line[i + 1] != ' ') continue;
        std::string out = dropQueries(line.substr(0, open));
        out += line.substr(open, i + 2 - open);
        out += kRedacted;
        return out;
    }
    return std::string(kWithheld);
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
        if (line.starts_with(verb)) return redactCookieLine(line);
    std::string_view body = line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
    if (body.empty() || body == kWithheld) return std::string(line);
    for (std::string_view prefix : kHeaderLinePrefixes)
        if (body.starts_with(prefix)) return redactHeaderLine(line);
    for (std::string_view prefix : kSafePrefixes)
        if (body.starts_with(prefix)) return dropQueries(line);
    return std::string(kWithheld);
}

std::string urlForLog(std::string_view url) {
    std::size_t cut = url.find_first_of("?#");
    return std::string(url.substr(0, cut));
}

}  // namespace tavo::core::infra::http
