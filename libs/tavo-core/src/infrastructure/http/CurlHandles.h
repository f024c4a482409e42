#pragma once

#include <curl/curl.h>

#include <memory>

#include "common/CPtr.h"

namespace tavo::core::infra::http {

// Owners of libcurl objects: released on every path, never by hand.
using CurlEasyPtr = common::CPtr<CURL, curl_easy_cleanup>;
using CurlSlistPtr = common::CPtr<curl_slist, curl_slist_free_all>;
using CurlStringPtr = common::CPtr<char, curl_free>;

// Appends one line; on allocation failure the list built so far is kept and
// false is returned.
bool appendLine(CurlSlistPtr& list, const char* line);

}  // namespace tavo::core::infra::http
