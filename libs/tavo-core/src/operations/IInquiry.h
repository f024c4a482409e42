#pragma once

#include <vector>

#include "operations/ITavoOperation.h"

namespace tavo::core::operations {

// An operation that reads. Inquiries that use the portal also implement
// IPortalHandler.
class IInquiry : public ITavoOperation {
public:
    OperationKind kind() const override { return OperationKind::Inquiry; }

    virtual std::vector<ParameterSpec> parameters() const = 0;
    virtual InquiryResult execute(domain::NapSession& session, const ParameterValues& params) = 0;
    // A sample shaped by resultSchema(); the parameters are not used.
    virtual InquiryResult testFixture(const ParameterValues& params);
    virtual int cacheTtl() const { return 3600; }
};

}  // namespace tavo::core::operations
