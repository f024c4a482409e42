#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "domain/NapCatalog.h"

namespace tavo::core::operations {

// Tells the portal session how to find an operation's service and links in
// the portal catalogue.
class IPortalHandler {
public:
    virtual ~IPortalHandler() = default;

    virtual std::string categoryName() const { return {}; }
    virtual std::string submitLinkName() const { return {}; }
    virtual std::string resultsLinkName() const { return {}; }
    // A link titled for submission that names the year (preferably as a number
    // of its own, not inside a date); else the link named
    // submitLinkName(); else the submission link with the lowest orderNum.
    virtual std::optional<domain::NapServiceLink> findSubmitLinkForYear(const domain::NapService& service,
                                                                        int year) const;
    virtual std::optional<domain::NapServiceLink> findResultsLink(const domain::NapService& service) const;
    // Upper case; the fallback when a link carries no usable "url".
    virtual std::string serviceIdentifier() const { return {}; }
    // The link's "url" without its query and one procedure suffix, upper-cased.
    virtual std::string serviceIdentifierFromLink(const domain::NapServiceLink& link) const;
    virtual int systemId(const domain::NapServiceLink& link) const { return link.systemId(); }
};

// Substring test with ASCII-only case folding: Cyrillic needles match only in
// the same case. An empty needle is always found.
bool icontains(std::string_view haystack, std::string_view needle);

}  // namespace tavo::core::operations
