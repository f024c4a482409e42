// The DataTables listing answer: the first byte picks the year and month
// filters, the rest is the answer. Either "count" matching the rows or only
// "error".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "operations/PlsResultsExecutor.h"

namespace ops = tavo::core::operations;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    ops::ResultsFilter filter;
    filter.eik = "123456789";
    if (data[0] & 1) filter.year = 2020 + (data[0] >> 4);
    if (data[0] & 2) filter.month = 1 + ((data[0] >> 2) & 3);
    ops::InquiryResult result;
    ops::listing::readAjaxAnswer(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), filter, result);
    auto count = result.metadata.find("count");
    bool hasError = result.metadata.count("error") == 1;
    if (hasError == (count != result.metadata.end())) std::abort();
    if (!hasError && count->second != std::to_string(result.rows.size())) std::abort();
    for (const auto& row : result.rows)
        if (row.size() != 6) std::abort();
    return 0;
}
