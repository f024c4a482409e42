#pragma once

#include <curl/curl.h>

#include <memory>

namespace tavo::core::infra::http {

// Owners of libcurl objects: released on every path, never by hand.
struct CurlEasyDeleter {
    void operator()(CURL* h) const noexcept {
        if (h) curl_easy_cleanup(h);
    }
};
struct CurlSlistDeleter {
    void operator()(curl_slist* l) const noexcept {
        if (l) curl_slist_free_all(l);
    }
};
struct CurlFreeDeleter {
    void operator()(char* p) const noexcept {
        if (p) curl_free(p);
    }
};

using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using CurlStringPtr = std::unique_ptr<char, CurlFreeDeleter>;

// Appends one line; on allocation failure the list built so far is kept and
// false is returned.
bool appendLine(CurlSlistPtr& list, const char* line);

}  // namespace tavo::core::infra::http
