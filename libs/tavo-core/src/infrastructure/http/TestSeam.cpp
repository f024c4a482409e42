#include "infrastructure/http/TestSeam.h"

#include <cstdlib>
#include <string>

namespace tavo::core::infra::http {

bool appendLine(CurlSlistPtr& list, const char* line) {
    curl_slist* grown = curl_slist_append(list.get(), line);
    if (!grown) return false;
    // curl_slist_append returns the same head once the list exists.
    (void)list.release();
    list.reset(grown);
    return true;
}

CurlSlistPtr applyTestSeam(CURL* handle) {
    CurlSlistPtr entries;
    if (!handle) return entries;
    if (const char* connectTo = std::getenv("TAVO_TEST_CONNECT_TO"); connectTo && *connectTo) {
        const std::string all = connectTo;
        std::size_t start = 0;
        while (start < all.size()) {
            std::size_t comma = all.find(',', start);
            if (comma == std::string::npos) comma = all.size();
            if (comma > start) appendLine(entries, all.substr(start, comma - start).c_str());
            start = comma + 1;
        }
        curl_easy_setopt(handle, CURLOPT_CONNECT_TO, entries.get());
    }
    if (const char* caFile = std::getenv("TAVO_TEST_CA_FILE"); caFile && *caFile)
        curl_easy_setopt(handle, CURLOPT_CAINFO, caFile);
    return entries;
}

}  // namespace tavo::core::infra::http
