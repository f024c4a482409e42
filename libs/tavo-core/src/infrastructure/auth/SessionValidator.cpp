#include "infrastructure/auth/SessionValidator.h"

#include <string>

#include "common/SafeJson.h"
#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/NapAddresses.h"

namespace tavo::core::infra::auth {

bool SessionValidator::isJsonAnswer(std::string_view body) {
    return common::safejson::isJson(body);
}

bool SessionValidator::isValid() {
    auto response = client_.get(nap::taxpayersUrl(), http::kAcceptJson);
    return response.error.empty() && response.status == 200 && isJsonAnswer(response.body);
}

}  // namespace tavo::core::infra::auth
