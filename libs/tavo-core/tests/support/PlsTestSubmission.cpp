#include "support/PlsTestSubmission.h"

#include "operations/PlsResultsExecutor.h"
#include "operations/PlsSubmissionExecutor.h"

namespace tavo::test {

using namespace tavo::core::operations;

PlsTestSubmission::PlsTestSubmission(std::string typeId, std::string ajaxEndpoint)
    : typeId_(std::move(typeId)), ajaxEndpoint_(std::move(ajaxEndpoint)) {}

PreflightResult PlsTestSubmission::validate(const std::string&) {
    PreflightResult result;
    result.ok = true;
    return result;
}

SubmissionResult PlsTestSubmission::submit(core::domain::NapSession& session, const std::string& path,
                                           const ParameterValues& params) {
    return executePlsSubmission(session, *this, path, params);
}

InquiryResult PlsTestSubmission::fetchResults(core::domain::NapSession& session, const ResultsFilter& filter) {
    if (!ajaxEndpoint_.empty()) return fetchAjaxJsonResults(session, *this, ajaxEndpoint_, filter);
    return fetchHtmlTableResults(session, *this, filter);
}

}  // namespace tavo::test
