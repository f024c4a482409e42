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

    // True only when the check answers 200 with JSON.
    bool isValid();

    // Whether a body is the check's JSON (the taxpayers list, or {} for a user
    // with none), not a page: a portal whose session lapsed may answer the
    // check with its login page. Read without building the list.
    static bool isJsonAnswer(std::string_view body);

private:
    http::HttpClient& client_;
};

}  // namespace tavo::core::infra::auth
