#include "operations/ISubmission.h"

#include "infrastructure/http/NapAddresses.h"
#include "infrastructure/http/NapEndpoints.h"
#include "operations/TestFixtures.h"

namespace tavo::core::operations {

SubmissionResult ISubmission::testFixture(const ParameterValues&) {
    return generateSubmissionFixture(resultSchema());
}

std::string ISubmission::uploadUrl(const domain::NapServiceLink& link) const {
    return infra::nap::plsUploadUrl(serviceIdentifierFromLink(link));
}

std::string ISubmission::showResultUrl(const std::string& pid, const domain::NapServiceLink& link) const {
    return infra::nap::plsShowResultUrl(serviceIdentifierFromLink(link), pid);
}

std::string ISubmission::listDocumentsUrl(const domain::NapServiceLink& link) const {
    auto it = link.props.find("url");
    if (it == link.props.end() || it->second.empty()) return {};
    return std::string(infra::nap::kPlsPubBase) + it->second;
}

std::vector<std::pair<std::string, std::string>> ISubmission::additionalFormParameters(std::optional<int>,
                                                                                       const std::string&) const {
    return {};
}

std::string ISubmission::submitFileName(const std::string& path) const {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

InquiryResult ISubmission::fetchResults(domain::NapSession&, const ResultsFilter&) {
    InquiryResult result;
    result.metadata["status"] = "not_implemented";
    result.metadata["declaration"] = typeId();
    result.metadata["message"] = "Справката за подадени документи все още не е имплементирана за тази декларация.";
    return result;
}

bool ISubmission::isAccepted(const std::vector<std::string>&) const {
    return true;
}

}  // namespace tavo::core::operations
