#include "operations/PortalPage.h"

#include "common/Ascii.h"

namespace tavo::core::operations::portalpage {
namespace {

struct Address {
    std::string host;  // lower case, port included: another port is another server
    std::string_view path;
};

// "scheme://host[:port]/path?query" as libcurl reports it; the path keeps
// neither query nor fragment.
Address split(std::string_view url) {
    Address out;
    size_t start = url.find("://");
    start = start == std::string_view::npos ? 0 : start + 3;
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string_view::npos) end = url.size();
    out.host = common::ascii::lowerCopy(url.substr(start, end - start));
    std::string_view rest = url.substr(end);
    out.path = rest.substr(0, rest.find_first_of("?#"));
    return out;
}

bool isLoginPath(std::string_view path) {
    return path.substr(0, 6) == "/auth/";
}

}  // namespace

std::string lapsedSessionMessage(std::string_view what) {
    return "Порталът не върна " + std::string(what) +
           ", а друга страница (напр. за вход): сесията може да е изтекла. Опитайте отново.";
}

bool endedElsewhere(std::string_view askedUrl, std::string_view effectiveUrl) {
    if (effectiveUrl.empty()) return false;
    const Address asked = split(askedUrl);
    const Address ended = split(effectiveUrl);
    if (asked.host != ended.host) return true;
    return isLoginPath(ended.path) && ended.path != asked.path;
}

std::string mediaType(std::string_view contentType) {
    return std::string(common::ascii::trimBlanks(contentType.substr(0, contentType.find(';'))));
}

std::string headerValue(const std::unordered_map<std::string, std::string>& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (common::ascii::lowerCopy(key) == common::ascii::lowerCopy(name)) return value;
    return {};
}

}  // namespace tavo::core::operations::portalpage
