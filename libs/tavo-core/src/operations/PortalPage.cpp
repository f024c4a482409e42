#include "operations/PortalPage.h"

#include "common/Ascii.h"
#include "infrastructure/http/CurlHandles.h"

namespace tavo::core::operations::portalpage {
namespace {

bool isLoginPath(std::string_view path) {
    return path.starts_with("/auth/");
}

}  // namespace

std::string lapsedSessionMessage(std::string_view what) {
    return "Порталът не върна " + std::string(what) +
           ", а друга страница (напр. за вход): сесията може да е изтекла. Опитайте отново.";
}

bool endedElsewhere(std::string_view askedUrl, std::string_view effectiveUrl) {
    if (effectiveUrl.empty()) return false;
    const auto asked = infra::http::parseUrl(std::string(askedUrl));
    const auto ended = infra::http::parseUrl(std::string(effectiveUrl));
    // An address libcurl cannot read is no page of the one asked for.
    if (!asked || !ended) return true;
    // Another port is another server; no port and 443 are one.
    if (!infra::http::sameOrigin(*asked, *ended)) return true;
    return isLoginPath(ended->path) && ended->path != asked->path;
}

std::string mediaType(std::string_view contentType) {
    return std::string(common::ascii::trimBlanks(contentType.substr(0, contentType.find(';'))));
}

std::string headerValue(const std::unordered_map<std::string, std::string>& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (common::ascii::equalsNoCase(key, name)) return value;
    return {};
}

}  // namespace tavo::core::operations::portalpage
