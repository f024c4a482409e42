#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "domain/NapCatalog.h"
#include "domain/PortalAnswers.h"
#include "domain/SenderIdentity.h"
#include "domain/TaxpayerInfo.h"

namespace tavo::signing {
class ISigner;
}
namespace tavo::stampit {
class StampItBridge;
}
namespace tavo::core::infra::http {
struct HttpResponse;
}
namespace tavo::core::operations {
class IPortalHandler;
class ParameterValues;
}  // namespace tavo::core::operations

namespace tavo::core::domain {

// The agent's one authenticated session with the agency's portal: identity and
// PIN, the portal client with its cookie jar, the certificate login, the CSRF
// token, and the taxpayer and service selection every portal operation runs
// first. One operation at a time: the session takes no lock (only the two
// process-wide caches have their own).
class NapSession {
public:
    using Headers = std::unordered_map<std::string, std::string>;

    struct Response {
        int32_t status = 0;  // 0 when the transfer failed; the body is empty then
        std::string body;
        Headers headers;
        std::string effectiveUrl;  // where a GET ended after redirects; empty for other requests
    };

    NapSession();
    ~NapSession();
    NapSession(const NapSession&) = delete;
    NapSession& operator=(const NapSession&) = delete;

    // Lifecycle and identity. Another certificate id drops the PIN with the
    // rest of the session: a PIN is only ever offered to the card it was set
    // for, and a smart card without one is neither logged in nor loaded.
    void setIdentity(SenderIdentity identity);
    void setPin(std::string pin);
    void setSigner(signing::ISigner* signer);
    void setStampItBridge(stampit::StampItBridge* bridge);
    const SenderIdentity& identity() const;
    const std::string& pin() const;
    signing::ISigner* signer() const;
    stampit::StampItBridge* stampItBridge() const;
    const std::string& lastError() const;
    const std::string& csrfToken() const;

    bool login();
    bool isAuthenticated() const;
    bool ensureLoggedIn();
    void logout();
    void refreshCsrfToken();

    // Request operations: one client call each, no retry, no status check.
    Response get(const std::string& url);
    Response get(const std::string& url, const Headers& headers);
    Response getFresh(const std::string& url, const Headers& headers);
    // A form goes out on a connection of its own and is never resent by the
    // transport: a filing reaches the portal at most once.
    Response postForm(const std::string& url, const Headers& fields);
    Response postForm(const std::string& url, const Headers& fields, const Headers& headers);
    Response postRaw(const std::string& url, const std::vector<uint8_t>& body, const std::string& contentType);
    std::vector<uint8_t> downloadBinary(const std::string& url);
    std::string exportCookies();

    // Taxpayer and service selection.
    const std::vector<TaxpayerInfo>& listTaxpayers();
    const std::vector<NapCategory>& categories();
    std::optional<SelectedTaxpayer> httpSelectTaxpayer(int64_t tin);
    const TaxpayerInfo* findTaxpayerByEik(const std::string& eik);
    bool selectTaxpayer(const std::string& eik);
    void httpSelectService(const std::string& linkId);
    static const NapService* findServiceInCatalogue(const std::string& name, const std::vector<NapCategory>& catalogue);
    std::optional<NapServiceLink> selectService(const operations::IPortalHandler& handler, int year);
    void selectSystem(const NapServiceLink& link);
    std::optional<NapServiceLink> prepareFor(const operations::IPortalHandler& handler, const std::string& eik,
                                             int year);
    std::optional<NapServiceLink> prepareForParams(const operations::IPortalHandler& handler,
                                                   const operations::ParameterValues& params);
    const std::optional<SelectedTaxpayer>& currentTaxpayer() const;
    int currentSystemId() const;

private:
    struct Impl;

    void resetSessionState();
    infra::http::HttpResponse callWithAuthRetry(const std::string& label,
                                                const std::function<infra::http::HttpResponse()>& call);
    void markSessionActiveInUi(const std::string& serviceName);
    bool lostTaxpayer(bool hadTaxpayer) const;
    void installCookie(const std::string& name, const std::string& value);

    std::unique_ptr<Impl> impl_;
};

}  // namespace tavo::core::domain
