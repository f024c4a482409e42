// The HTML listing's rows: the first byte picks the year filter, the rest is
// the page. Every row has the six columns; the document-id scanner agrees
// with the pattern it replaces on small inputs.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "operations/PlsResultsExecutor.h"

namespace listing = tavo::core::operations::listing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    tavo::core::operations::ResultsFilter filter;
    filter.eik = "123456789";
    if (data[0] & 1) filter.year = 2000 + data[0] / 2;
    std::string page(reinterpret_cast<const char*>(data + 1), size - 1);
    (void)listing::showsListing(page);
    for (const auto& row : listing::readHtmlRows(page, filter))
        if (row.size() != 6 || row[0] != filter.eik || !row[1].empty()) std::abort();
    if (page.size() <= 512) {
        static const std::regex id(R"((?:^|[^A-Za-z0-9_])(?:pid|ipdoc_id)\s*=\s*["']?(\d+))",
                                   std::regex::ECMAScript | std::regex::icase);
        std::smatch m;
        std::string expected = std::regex_search(page, m, id) ? m[1].str() : std::string();
        if (listing::findDocumentId(page) != expected) std::abort();
    }
    return 0;
}
