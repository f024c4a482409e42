#pragma once

#include <string>

#include "operations/OperationTypes.h"

namespace tavo::core::domain {
class NapSession;
}
namespace tavo::core::infra::http {
struct SendDeclarationResponse;
}

namespace tavo::core::operations {

// The result of a declaration filed through the public REST API, in the
// result-inquiry shape. Always asks the production API.
class RestResultExecutor {
public:
    // Never throws for a failure of the answer: every one ends in "error".
    static InquiryResult fetch(domain::NapSession& session, const ParameterValues& params);
};

// The metadata one answer of the result address gives (steps after the call):
// pure, never throws, every value valid UTF-8. An answer naming a document
// other than askedDocumentId, or whose result is not Base64, is an error.
InquiryResult readRestResult(const infra::http::SendDeclarationResponse& answer, const std::string& resultUrl,
                             const std::string& askedDocumentId);

}  // namespace tavo::core::operations
