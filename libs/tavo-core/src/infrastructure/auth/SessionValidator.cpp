#include "infrastructure/auth/SessionValidator.h"

#include <string>

#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/NapAddresses.h"

namespace tavo::core::infra::auth {

bool SessionValidator::isValid() {
    auto response = client_.get(nap::taxpayersUrl(), http::kAcceptJson);
    return response.error.empty() && response.status == 200;
}

}  // namespace tavo::core::infra::auth
