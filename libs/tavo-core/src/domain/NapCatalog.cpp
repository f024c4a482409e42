#include "domain/NapCatalog.h"

#include "common/Ascii.h"
#include "common/Numbers.h"
#include "infrastructure/http/NapAddresses.h"
#include "infrastructure/http/NapEndpoints.h"

namespace tavo::core::domain {
namespace {

constexpr int kDefaultSystemId = 5;

const std::string* prop(const NapServiceLink& link, const char* key) {
    auto it = link.props.find(key);
    return it == link.props.end() ? nullptr : &it->second;
}

}  // namespace

std::string NapServiceLink::serviceIdentifier() const {
    const std::string* url = prop(*this, "url");
    if (!url || url->empty()) return {};
    size_t first = url->find('.');
    if (first == std::string::npos) return {};
    size_t second = url->find('.', first + 1);
    std::string kept = second == std::string::npos ? *url : url->substr(0, second);
    for (char& ch : kept) ch = common::ascii::toUpper(ch);
    return kept;
}

int NapServiceLink::systemId() const {
    const std::string* value = prop(*this, "systemId");
    if (!value || value->empty()) return kDefaultSystemId;
    return common::leadingInt(*value).value_or(kDefaultSystemId);
}

std::string NapServiceLink::uploadUrl() const {
    return infra::nap::plsUploadUrl(serviceIdentifier());
}

std::string NapServiceLink::showResultUrl(const std::string& pid) const {
    return infra::nap::plsShowResultUrl(serviceIdentifier(), pid);
}

std::string NapServiceLink::listDocumentsUrl() const {
    return std::string(infra::nap::kPlsPubBase) + serviceIdentifier() + ".listDocuments";
}

std::optional<NapServiceLink> NapService::findLink(const std::string& linkName) const {
    for (const NapServiceLink& l : links)
        if (l.name == linkName) return l;
    return std::nullopt;
}

std::optional<NapService> NapCategory::findService(const std::string& serviceName) const {
    for (const NapService& s : services)
        if (s.name == serviceName) return s;
    return std::nullopt;
}

}  // namespace tavo::core::domain
