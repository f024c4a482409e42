#include "infrastructure/auth/SessionValidator.h"

#include <string>

#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/NapEndpoints.h"

namespace tavo::core::infra::auth {

bool SessionValidator::isValid() {
    auto response = client_.get(std::string(nap::kPortalBase) + "/api/base/taxpayers", http::kAcceptJson);
    return response.error.empty() && response.status == 200;
}

}  // namespace tavo::core::infra::auth
