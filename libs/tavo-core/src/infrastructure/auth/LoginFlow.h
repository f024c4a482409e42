#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tavo::signing {
class ISigner;
}

namespace tavo::core::infra::http {
class HttpClient;
}

namespace tavo::core::infra::auth {

// The portal's qualified-signature login: entry point, the login host's
// mutual-TLS endpoint, then a request that only a logged-in session passes.
// All login state ends up in the client's cookies.
class LoginFlow {
public:
    LoginFlow(http::HttpClient& client, signing::ISigner* signer, std::string certificateId,
              std::function<std::optional<std::string>()> pinProvider);

    bool login();
    void warmUpCsp();
    const std::string& lastError() const { return lastError_; }

    // The user-facing form of a transfer error: certificate problems get a
    // Bulgarian explanation around the original text.
    static std::string humanizeError(const std::string& error);
    // Names (with domains) of the cookies in Netscape cookie-file lines; the
    // values are left out because they open the taxpayer's portal account.
    static std::string cookieNames(const std::string& cookieLines);

private:
    http::HttpClient& client_;
    signing::ISigner* signer_;
    std::string certificateId_;
    std::function<std::optional<std::string>()> pinProvider_;
    std::string lastError_;
};

}  // namespace tavo::core::infra::auth
