#include "infrastructure/http/NapAddresses.h"

#include "common/PercentEncode.h"
#include "infrastructure/http/NapEndpoints.h"

namespace tavo::core::infra::nap {

std::string entryPointUrl() {
    // The inner address is sent as is: the portal expects it unencoded.
    return std::string(kPortalBase) + "/auth/entrypoint?redirectUrl=" + kHomeHtml + "&lang=bg";
}

std::string taxpayersUrl() {
    return std::string(kPortalBase) + "/api/base/taxpayers";
}

std::string plsUploadUrl(const std::string& serviceIdentifier) {
    return std::string(kPlsPubBase) + "!" + serviceIdentifier + ".upload_file";
}

std::string plsShowResultUrl(const std::string& serviceIdentifier, const std::string& pid) {
    return std::string(kPlsPubBase) + serviceIdentifier + ".showResult?pid=" + common::percentEncode(pid);
}

}  // namespace tavo::core::infra::nap
