#pragma once

#include <memory>

#include "operations/IInquiry.h"
#include "operations/IPortalHandler.h"
#include "operations/ISubmission.h"

namespace tavo::core::operations {

// Base of the result inquiries (type ids ending in "_result"): fetches the
// portal's result page of a filed document and returns it raw in the
// metadata, under the schema "SubmissionResultPayload".
class SubmissionResultInquiry : public IInquiry, public IPortalHandler {
public:
    std::string featureGroupId() const override;
    std::string featureGroupName() const override;
    OperationKind kind() const override { return OperationKind::Inquiry; }
    SubmissionChannel channel() const override { return SubmissionChannel::PlsLegacy; }
    AuthScheme authScheme() const override { return AuthScheme::NapPortalSession; }
    std::string category() const override { return "Справки"; }
    std::string description() const override { return {}; }
    bool requiresEik() const override { return true; }
    ResultSpec resultSchema() const override;
    std::vector<ParameterSpec> parameters() const override;
    InquiryResult execute(domain::NapSession& session, const ParameterValues& params) override;

    // A fresh instance of the submission whose results this inquiry reads.
    virtual std::unique_ptr<ISubmission> pairedSubmission() const = 0;
};

}  // namespace tavo::core::operations
