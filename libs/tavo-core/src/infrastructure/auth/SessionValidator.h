#pragma once

#include <string_view>

namespace tavo::core::infra::http {
class HttpClient;
}

namespace tavo::core::infra::auth {

// Whether the client's cookies still carry a live portal login.
class SessionValidator {
public:
    explicit SessionValidator(http::HttpClient& client) : client_(client) {}

    // True only when the check answers 200 with the taxpayers list.
    bool isValid();

    // Whether a body is the taxpayers list (a JSON array), not a page: a
    // portal whose session lapsed may answer the check with its login page.
    static bool isTaxpayerList(std::string_view body);

private:
    http::HttpClient& client_;
};

}  // namespace tavo::core::infra::auth
