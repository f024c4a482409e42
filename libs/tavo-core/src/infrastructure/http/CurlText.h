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

// One informational line of libcurl made safe for the log: cookie values in
// "Added cookie" / "Replaced cookie" lines are replaced and every URL loses
// its query and fragment (redirect URLs carry one-time login codes).
std::string redactCurlInfo(std::string_view line);

// The URL without its query and fragment, for log lines of our own.
std::string urlForLog(std::string_view url);

}  // namespace tavo::core::infra::http
