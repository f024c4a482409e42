#include "infrastructure/http/HttpClientFactory.h"

namespace tavo::core::infra::http {
namespace {

constexpr const char* kAgentUserAgent = "TavoAgentC/0.1";
constexpr const char* kVendorDomain = "tavo.example";

std::unique_ptr<HttpClient> portalClient(std::string certificateId, std::string pin, std::int32_t timeoutSeconds) {
    HttpClientOptions o;
    o.timeoutSeconds = timeoutSeconds;
    o.clientCertId = std::move(certificateId);
    o.pin = std::move(pin);
    return std::make_unique<HttpClient>(std::move(o));
}

}  // namespace

std::unique_ptr<HttpClient> HttpClientFactory::forNapPortal(std::string certificateId, std::string pin) {
    return portalClient(std::move(certificateId), std::move(pin), 60);
}

std::unique_ptr<HttpClient> HttpClientFactory::forNapPortalOneShot(std::string certificateId, std::string pin) {
    return portalClient(std::move(certificateId), std::move(pin), 30);
}

std::unique_ptr<HttpClient> HttpClientFactory::forNapRestApi() {
    HttpClientOptions o;
    o.userAgent = kAgentUserAgent;
    return std::make_unique<HttpClient>(std::move(o));
}

std::unique_ptr<HttpClient> HttpClientFactory::forTavoCloud() {
    HttpClientOptions o;
    o.userAgent = std::string(kAgentUserAgent) + " (+" + kVendorDomain + ")";
    o.timeoutSeconds = 10;
    return std::make_unique<HttpClient>(std::move(o));
}

}  // namespace tavo::core::infra::http
