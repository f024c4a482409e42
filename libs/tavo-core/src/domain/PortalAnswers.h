#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "domain/NapCatalog.h"
#include "domain/NapIdentifiers.h"
#include "domain/TaxpayerInfo.h"

// Readers of the portal's JSON answers used by the session's selection
// protocol. Pure functions of the body: no session, no network, no log, never
// throwing, so that tests and fuzz targets call them directly.
namespace tavo::core::domain {

// The taxpayer the session has selected on the portal.
struct SelectedTaxpayer {
    int64_t tin = 0;
    std::string pin;
    std::string tpId;

    bool operator==(const SelectedTaxpayer&) const = default;
};

// TooLarge: more values than the reader takes (its error says how many).
enum class AnswerFailure { None, Parse, Shape, TooLarge };

struct TaxpayerListReading {
    AnswerFailure failure = AnswerFailure::None;
    std::string error;  // the parser's text when failure is Parse
    std::vector<TaxpayerInfo> taxpayers;
    int tinsOutOfRange = 0;  // numeric tins that did not fit int64 (read as 0)
};

// Values the taxpayer list may hold. It may be as large as a page (an
// accounting office's tens of thousands of taxpayers, eight to a dozen values
// each), but a value parsed costs about a hundred bytes and more, whatever
// text it took: past this many the list is refused before it is parsed.
inline constexpr std::size_t kMaxTaxpayerListValues = std::size_t{1} << 20;

// "/api/base/taxpayers": a JSON array of taxpayer objects.
TaxpayerListReading readTaxpayerList(std::string_view body);

// The portal's "pinType" text (ASCII case ignored) as an identifier type.
NapIdentifierType pinTypeFromPortal(std::string_view text);

struct SelectAnswerReading {
    std::optional<SelectedTaxpayer> taxpayer;  // absent when the body does not parse
    std::string error;
    bool tinOutOfRange = false;
    bool namesTin = false;  // "tin" is a number, in range or not: the answer says whom the portal selected
};

// The answer of "/api/common/taxpayer/select".
SelectAnswerReading readSelectAnswer(std::string_view body);

struct CatalogueReading {
    AnswerFailure failure = AnswerFailure::None;
    std::string error;
    std::vector<NapCategory> categories;
};

// "/api/base/categories": categories with their services and links.
CatalogueReading readCatalogue(std::string_view body);

// The "_csrf" string of "/auth/users/me"; absent in every other case.
std::optional<std::string> readCsrfToken(std::string_view body);

}  // namespace tavo::core::domain
