#pragma once

#include <string>

#include "operations/ISubmission.h"

namespace tavo::test {

// A portal-form declaration of the stand-in's catalogue ("Декларации по
// чл. 55"): files through the PL/SQL upload form and reads its listing as
// an HTML table, or through the DataTables endpoint when ajaxEndpoint is set.
class PlsTestSubmission : public core::operations::ISubmission {
public:
    explicit PlsTestSubmission(std::string typeId = "test_pls_upload", std::string ajaxEndpoint = {});

    std::string typeId() const override { return typeId_; }
    std::string displayName() const override { return "Декларация по чл. 55 (пример)"; }
    std::string featureGroupId() const override { return "decl55"; }
    std::string featureGroupName() const override { return "Декларации по чл. 55"; }
    core::operations::SubmissionChannel channel() const override {
        return core::operations::SubmissionChannel::PlsLegacy;
    }
    core::operations::AuthScheme authScheme() const override { return core::operations::AuthScheme::PlsSignature; }
    std::string categoryName() const override { return "Декларации по чл. 55"; }

    core::operations::PreflightResult validate(const std::string& path) override;
    core::operations::SubmissionResult submit(core::domain::NapSession& session, const std::string& path,
                                              const core::operations::ParameterValues& params) override;
    core::operations::InquiryResult fetchResults(core::domain::NapSession& session,
                                                 const core::operations::ResultsFilter& filter) override;

private:
    std::string typeId_;
    std::string ajaxEndpoint_;
};

}  // namespace tavo::test
