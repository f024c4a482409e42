#pragma once

#include "operations/IInquiry.h"
#include "operations/ISubmission.h"

namespace tavo::core::operations {

// Runs the branch for the operation's kind with the operation as the interface
// that kind stands for, and returns what the branch returns. An operation whose
// kind does not match its class ends in std::bad_cast, which the callers catch
// with every other failure of the operation.
template <typename OnSubmission, typename OnInquiry>
decltype(auto) byKind(ITavoOperation& op, OnSubmission&& onSubmission, OnInquiry&& onInquiry) {
    if (op.kind() == OperationKind::Submission) return onSubmission(dynamic_cast<ISubmission&>(op));
    return onInquiry(dynamic_cast<IInquiry&>(op));
}

}  // namespace tavo::core::operations
