#include "infrastructure/auth/SessionValidator.h"

#include <string>

#include "common/SafeJson.h"
#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/NapAddresses.h"

namespace tavo::core::infra::auth {

bool SessionValidator::isTaxpayerList(std::string_view body) {
    auto parsed = common::safejson::parse(body);
    return parsed.value && parsed.value->is_array();
}

bool SessionValidator::isValid() {
    auto response = client_.get(nap::taxpayersUrl(), http::kAcceptJson);
    return response.error.empty() && response.status == 200 && isTaxpayerList(response.body);
}

}  // namespace tavo::core::infra::auth
