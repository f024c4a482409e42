#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

// What a portal answer shows, read for what it is: a lapsed session answers
// a page request with its login, on the login host or on the portal's own
// "/auth/" addresses, and that page is never the page asked for.
namespace tavo::core::operations::portalpage {

// The message for an answer that is not the page asked for; what names the
// page (such as "списъка с подадени документи") completes it.
std::string lapsedSessionMessage(std::string_view what);

// True when a GET of askedUrl ended (after redirects) on another host, or on
// a login address ("/auth/...") the request did not name. An empty
// effectiveUrl tells nothing and is false.
bool endedElsewhere(std::string_view askedUrl, std::string_view effectiveUrl);

// The media type of a Content-Type value ("text/html" of "text/html;
// charset=windows-1251"), blanks trimmed; empty for an empty value.
std::string mediaType(std::string_view contentType);

// The value of the answer's header of that name, letter case ignored (HTTP/2
// sends names in lower case, HTTP/1.1 servers as they like); empty when absent.
std::string headerValue(const std::unordered_map<std::string, std::string>& headers, std::string_view name);

}  // namespace tavo::core::operations::portalpage
