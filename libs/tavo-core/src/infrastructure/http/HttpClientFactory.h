#pragma once

#include <memory>
#include <string>

#include "infrastructure/http/HttpClient.h"

namespace tavo::core::infra::http {

// Client presets, one per remote party. Each call builds an independent
// client with its own cookies.
class HttpClientFactory {
public:
    static std::unique_ptr<HttpClient> forNapPortal(std::string certificateId, std::string pin);
    static std::unique_ptr<HttpClient> forNapPortalOneShot(std::string certificateId, std::string pin);
    // Never a client certificate, whatever the environment holds. Redirects
    // stay on the agency's API hosts (production and test).
    static std::unique_ptr<HttpClient> forNapRestApi();
    // The same for one API address: redirects stay on its host alone.
    static std::unique_ptr<HttpClient> forNapRestApi(const std::string& apiAddress);
    static std::unique_ptr<HttpClient> forTavoCloud();
};

}  // namespace tavo::core::infra::http
