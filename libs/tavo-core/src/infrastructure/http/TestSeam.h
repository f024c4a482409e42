#pragma once

#include <curl/curl.h>

#include <string>

#include "infrastructure/http/CurlHandles.h"

namespace tavo::core::infra::http {

// The one seam through which tests reach local stand-ins, applied to every
// libcurl handle the library creates: TAVO_TEST_CONNECT_TO (comma-separated
// CURLOPT_CONNECT_TO entries) and TAVO_TEST_CA_FILE (CURLOPT_CAINFO). Host
// names, SNI and verification stay as in production. Compiled in only when
// the build option TAVO_TEST_SEAM is on; a variable that is honoured is
// named once in a warning of the log. `entries` receives the list the handle
// then points at: keep it alive as long as the handle. Returns the refusal
// of an option, naming it; empty on success.
[[nodiscard]] std::string applyTestSeam(CURL* handle, CurlSlistPtr& entries);

// Whether this build honours the seam at all.
bool testSeamCompiledIn();

}  // namespace tavo::core::infra::http
