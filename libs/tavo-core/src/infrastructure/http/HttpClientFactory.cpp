#include "infrastructure/http/HttpClientFactory.h"

#include <optional>

#include "infrastructure/http/CurlHandles.h"
#include "infrastructure/http/NapAddresses.h"
#include "infrastructure/http/NapEndpoints.h"

namespace tavo::core::infra::http {
namespace {

constexpr const char* kAgentUserAgent = "TavoAgentC/0.1";
constexpr const char* kVendorDomain = "tavo.example";

std::unique_ptr<HttpClient> portalClient(std::string certificateId, std::string pin, std::int32_t timeoutSeconds) {
    HttpClientOptions o;
    o.timeoutSeconds = timeoutSeconds;
    o.clientCertId = std::move(certificateId);
    o.pin = std::move(pin);
    // The login chain crosses the login host and the portal; nothing else
    // may see the card or the session's cookies.
    o.redirectHosts = {nap::kPortalHost, nap::kLoginHost};
    // An accounting office's taxpayers run to tens of thousands: the list
    // gets the pages' cap, its reader bounds the parse.
    o.largeJsonUrls = {nap::taxpayersUrl()};
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
    // The API key and the declaration stay on the agency's API hosts.
    o.redirectHosts = {nap::kRestApiHost, nap::kRestApiTestHost};
    return std::make_unique<HttpClient>(std::move(o));
}

std::unique_ptr<HttpClient> HttpClientFactory::forNapRestApi(const std::string& apiAddress) {
    HttpClientOptions o;
    o.userAgent = kAgentUserAgent;
    // An address that cannot be read leaves no host a redirect may go to
    // but the request's own.
    if (std::optional<UrlParts> parts = parseUrl(apiAddress)) o.redirectHosts = {parts->host};
    return std::make_unique<HttpClient>(std::move(o));
}

std::unique_ptr<HttpClient> HttpClientFactory::forTavoCloud() {
    HttpClientOptions o;
    o.userAgent = std::string(kAgentUserAgent) + " (+" + kVendorDomain + ")";
    o.timeoutSeconds = 10;
    o.redirectHosts = {nap::kCloudHost};
    return std::make_unique<HttpClient>(std::move(o));
}

}  // namespace tavo::core::infra::http
