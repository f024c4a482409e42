#pragma once

namespace tavo::core::infra::http {
class HttpClient;
}

namespace tavo::core::infra::auth {

// Whether the client's cookies still carry a live portal login.
class SessionValidator {
public:
    explicit SessionValidator(http::HttpClient& client) : client_(client) {}

    bool isValid();

private:
    http::HttpClient& client_;
};

}  // namespace tavo::core::infra::auth
