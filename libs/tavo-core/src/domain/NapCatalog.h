#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The portal's catalogue as the session reads it: categories hold services,
// services hold links, and a link leads to one page or PL/SQL procedure.
namespace tavo::core::domain {

struct NapServiceLink {
    std::string id;
    std::string name;
    std::string title;
    std::string link;
    std::string linkType;
    int32_t orderNum = 2147483647;
    std::unordered_map<std::string, std::string> props;

    // "url" up to its second ".", upper-cased (ASCII); empty without a ".".
    std::string serviceIdentifier() const;
    // Leading integer of "systemId"; 5 when missing, unreadable or out of range.
    int systemId() const;

    std::string uploadUrl() const;
    // The pid is percent-encoded outside the unreserved set.
    std::string showResultUrl(const std::string& pid) const;
    std::string listDocumentsUrl() const;
};

struct NapService {
    std::string id;
    std::string name;
    std::string title;
    std::vector<NapServiceLink> links;

    std::optional<NapServiceLink> findLink(const std::string& linkName) const;
};

struct NapCategory {
    std::string id;
    std::string name;
    std::string title;
    std::vector<NapService> services;

    std::optional<NapService> findService(const std::string& serviceName) const;
};

}  // namespace tavo::core::domain
