#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavo::core::infra::http {

// One response header line as libcurl hands it over: the name is everything
// before the first colon, unchanged; the value loses its leading blanks and
// tabs and its trailing carriage returns and line feeds. A line without a
// colon (status line, blank end line, folded continuation) gives nothing.
std::optional<std::pair<std::string, std::string>> parseHeaderLine(std::string_view line);

// One informational line of libcurl made safe for the log, by allow-list:
// cookie values in "Added cookie" / "Replaced cookie" lines are replaced;
// lines that print a request header (HTTP/2's "h2h3 [name: value]") keep the
// name only; lines of a kind known to carry no secret (connection, TLS, ALPN,
// status) are kept with every URL losing its query and fragment (redirect URLs
// carry one-time login codes); any other line becomes "[withheld]".
std::string redactCurlInfo(std::string_view line);

// The URL without its query and fragment, for log lines of our own.
std::string urlForLog(std::string_view url);

}  // namespace tavo::core::infra::http
