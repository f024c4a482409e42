#pragma once

#include <string>
#include <vector>

// For the test rig only: production code includes OperationRegistry.h, never this.
namespace tavo::core::operations::testing {

// Removes from the process-wide registry every operation whose type id is not
// in typeIds: what tests registered since the list was taken (listAll) goes,
// the registrars' operations stay.
void forgetRegistrationsOtherThan(const std::vector<std::string>& typeIds);

}  // namespace tavo::core::operations::testing
