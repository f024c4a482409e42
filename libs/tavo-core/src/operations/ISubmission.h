#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "operations/IPortalHandler.h"
#include "operations/ITavoOperation.h"

namespace tavo::core::operations {

// An operation that files. The PL/SQL addresses are built on the portal's
// public PL/SQL base from serviceIdentifierFromLink().
class ISubmission : public ITavoOperation, public IPortalHandler {
public:
    OperationKind kind() const override { return OperationKind::Submission; }

    // 0 a file, 1 a folder.
    virtual int inputKind() const { return 0; }
    virtual bool requiresFilePath() const { return true; }
    virtual std::vector<ParameterSpec> parameters() const { return {}; }
    virtual PreflightResult validate(const std::string& path) = 0;
    virtual SubmissionResult submit(domain::NapSession& session, const std::string& path,
                                    const ParameterValues& params) = 0;
    virtual SubmissionResult testFixture(const ParameterValues& params);
    virtual std::string endpointId() const { return "0"; }
    virtual std::string uploadUrl(const domain::NapServiceLink& link) const;
    // The pid is percent-encoded outside the unreserved set: it may be a
    // caller's document id.
    virtual std::string showResultUrl(const std::string& pid, const domain::NapServiceLink& link) const;
    // Empty when the link has no "url".
    virtual std::string listDocumentsUrl(const domain::NapServiceLink& link) const;
    virtual int submissionMethod() const { return 0; }
    virtual bool requiresEncryption() const { return false; }
    virtual bool requiresMonth() const { return false; }
    // Extra (name, value) fields of a portal upload form.
    virtual std::vector<std::pair<std::string, std::string>> additionalFormParameters(std::optional<int> month,
                                                                                      const std::string& iban) const;
    // The text after the last "/" (empty when the path ends in "/").
    virtual std::string submitFileName(const std::string& path) const;
    // Makes no request: reports that this declaration has no results listing.
    virtual InquiryResult fetchResults(domain::NapSession& session, const ResultsFilter& filter);
    virtual bool isAccepted(const std::vector<std::string>& messages) const;
};

}  // namespace tavo::core::operations
