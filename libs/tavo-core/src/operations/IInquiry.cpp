#include "operations/IInquiry.h"

#include "operations/TestFixtures.h"

namespace tavo::core::operations {

InquiryResult IInquiry::testFixture(const ParameterValues&) {
    return generateInquiryFixture(resultSchema());
}

}  // namespace tavo::core::operations
