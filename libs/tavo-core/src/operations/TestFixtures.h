#pragma once

#include "operations/OperationTypes.h"

namespace tavo::core::operations {

// Sample results generated from an operation's own result schema, so that a
// test-mode answer has exactly the shape of a production answer.
InquiryResult generateInquiryFixture(const ResultSpec& spec);
SubmissionResult generateSubmissionFixture(const ResultSpec& spec);

}  // namespace tavo::core::operations
