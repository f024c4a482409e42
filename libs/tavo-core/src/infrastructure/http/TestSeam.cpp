#include "infrastructure/http/TestSeam.h"
#include "infrastructure/http/TestSeamTesting.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "common/Logger.h"

#ifndef TAVO_TEST_SEAM_ENABLED
#define TAVO_TEST_SEAM_ENABLED 1
#endif

namespace tavo::core::infra::http {

bool appendLine(CurlSlistPtr& list, const char* line) {
    curl_slist* grown = curl_slist_append(list.get(), line);
    if (!grown) return false;
    // curl_slist_append returns the same head once the list exists.
    (void)list.release();
    list.reset(grown);
    return true;
}

#if TAVO_TEST_SEAM_ENABLED

namespace {

// Once per variable and process: a packaged build that still honours the
// seam must be visible in the log, without a line per request.
void warnOnce(std::atomic<bool>& warned, const char* variable) {
    if (!warned.exchange(true))
        Logger::warn(
            std::string("HttpClient: test seam ") + variable +
            " is set and honoured — connections and trusted certificates follow it, not the production set-up");
}

std::atomic<bool> warnedConnectTo{false};
std::atomic<bool> warnedCaFile{false};

}  // namespace

bool testSeamCompiledIn() {
    return true;
}

std::string applyTestSeam(CURL* handle, CurlSlistPtr& entries) {
    entries.reset();
    if (!handle) return {};
    CurlSetter s(handle);
    if (const char* connectTo = std::getenv("TAVO_TEST_CONNECT_TO"); connectTo && *connectTo) {
        const std::string all = connectTo;
        std::size_t start = 0;
        while (start < all.size()) {
            std::size_t comma = all.find(',', start);
            if (comma == std::string::npos) comma = all.size();
            if (comma > start && !appendLine(entries, all.substr(start, comma - start).c_str()))
                s.fail("TAVO_TEST_CONNECT_TO: out of memory");
            start = comma + 1;
        }
        TAVO_CURL_SET(s, CURLOPT_CONNECT_TO, entries.get());
        warnOnce(warnedConnectTo, "TAVO_TEST_CONNECT_TO");
    }
    if (const char* caFile = std::getenv("TAVO_TEST_CA_FILE"); caFile && *caFile) {
        TAVO_CURL_SET(s, CURLOPT_CAINFO, caFile);
        warnOnce(warnedCaFile, "TAVO_TEST_CA_FILE");
    }
    return s.error();
}

namespace testing {

void forgetSeamWarnings() {
    warnedConnectTo = false;
    warnedCaFile = false;
}

}  // namespace testing

#else

bool testSeamCompiledIn() {
    return false;
}

namespace testing {

void forgetSeamWarnings() {}

}  // namespace testing

std::string applyTestSeam(CURL*, CurlSlistPtr& entries) {
    entries.reset();
    return {};
}

#endif

}  // namespace tavo::core::infra::http
