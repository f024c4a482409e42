#pragma once

#include <ctime>
#include <optional>
#include <string_view>

namespace tavo::core::infra::parsing {

// The instant (UTC) of an HTTP Date value in the IMF-fixdate form servers
// send, "Sun, 06 Nov 1994 08:49:37 GMT", blanks around it allowed. None for
// anything else: the obsolete forms, another zone, a field out of range, a
// day the month lacks or a weekday the date does not fall on. Read byte by
// byte, whatever the process locale.
std::optional<std::time_t> parseHttpDate(std::string_view value);

}  // namespace tavo::core::infra::parsing
