#include "infrastructure/auth/LoginFlow.h"

#include <exception>
#include <utility>

#include "common/Ascii.h"
#include "common/CookieLine.h"
#include "common/Logger.h"
#include "infrastructure/auth/SessionValidator.h"
#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/NapAddresses.h"
#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/signing/ISigner.h"

namespace tavo::core::infra::auth {

LoginFlow::LoginFlow(http::HttpClient& client, signing::ISigner* signer, std::string certificateId,
                     std::function<std::optional<std::string>()> pinProvider)
    : client_(client),
      signer_(signer),
      certificateId_(std::move(certificateId)),
      pinProvider_(std::move(pinProvider)) {}

std::string LoginFlow::humanizeError(const std::string& error) {
    std::string lower = common::ascii::lowerCopy(error);
    if (lower.find("ssl certificate") != std::string::npos || lower.find("certprob") != std::string::npos) {
        return "Сертификатът за КЕП не е достъпен. Проверете че смарт картата е "
               "поставена в четеца и драйверите "
               "са активни. (Оригинално: " +
               error + ")";
    }
    return error;
}

std::string LoginFlow::cookieNames(const std::string& cookieLines) {
    std::string names;
    common::cookies::forEachCookie(cookieLines, [&names](const common::cookies::CookieLine& cookie) {
        if (!names.empty()) names += '\n';
        names.append(cookie.domainField).append(" ").append(cookie.name);
    });
    return names;
}

void LoginFlow::warmUpCsp() {
    if (!signer_ || certificateId_.empty() || !pinProvider_) return;
    std::optional<std::string> pin = pinProvider_();
    if (!pin) {
        Logger::info("LoginFlow: no stored PIN; CSP dialog will prompt user");
        return;
    }
    try {
        if (signer_->warmUp(certificateId_, *pin)) {
            Logger::info("LoginFlow: CSP PIN cache primed — handshake will be silent");
        } else {
            Logger::warn("LoginFlow: warmUp returned false (likely wrong PIN)");
        }
    } catch (const std::exception& e) {
        Logger::warn(std::string("LoginFlow: warmUp threw: ") + e.what());
    }
}

bool LoginFlow::login() {
    Logger::info("LoginFlow: starting QES (КЕП) login sequence");
    warmUpCsp();

    auto entry = client_.get(nap::entryPointUrl(), {});
    if (!entry.error.empty()) {
        lastError_ = humanizeError(entry.error);
        Logger::error("LoginFlow: entrypoint: " + entry.error);
        return false;
    }

    // The handshake of this request presents the client certificate.
    auto qes = client_.get(std::string(nap::kLoginBase) + "/auth/login/qes", {});
    if (!qes.error.empty()) {
        lastError_ = humanizeError(qes.error);
        Logger::error("LoginFlow: qes mTLS: " + qes.error);
        return false;
    }

    auto check = client_.get(nap::taxpayersUrl(), http::kAcceptJson);
    int status = check.error.empty() ? check.status : 0;
    if (status == 200 && SessionValidator::isJsonAnswer(check.body)) {
        Logger::info("LoginFlow: cookies after OAuth:\n" + cookieNames(client_.exportCookies()));
        Logger::info("LoginFlow: QES login succeeded");
        return true;
    }
    lastError_ = "validation returned HTTP " + std::to_string(status);
    if (check.tooLarge) lastError_ += " (" + check.error + ")";
    // A 200 page (a login page after a refused certificate) is no logged-in answer.
    if (status == 200) lastError_ += " with a page instead of the taxpayers list (the login did not take effect)";
    Logger::error("LoginFlow: " + lastError_);
    return false;
}

}  // namespace tavo::core::infra::auth
