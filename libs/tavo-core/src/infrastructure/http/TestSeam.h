#pragma once

#include <curl/curl.h>

#include "infrastructure/http/CurlHandles.h"

namespace tavo::core::infra::http {

// The one seam through which tests reach local stand-ins, applied to every
// libcurl handle the library creates: TAVO_TEST_CONNECT_TO (comma-separated
// CURLOPT_CONNECT_TO entries) and TAVO_TEST_CA_FILE (CURLOPT_CAINFO). Host
// names, SNI and verification stay as in production. Returns the list the
// handle now points at: keep it alive as long as the handle (null when the
// variable is unset).
[[nodiscard]] CurlSlistPtr applyTestSeam(CURL* handle);

}  // namespace tavo::core::infra::http
