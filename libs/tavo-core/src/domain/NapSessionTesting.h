#pragma once

// For the test rig only: production code includes NapSession.h, never this.
namespace tavo::core::domain::testing {

// Empties the process-wide taxpayer lists and service catalogue, as a new
// process starts. Call with no session alive: references handed out by
// listTaxpayers and categories end here.
void forgetPortalCaches();

}  // namespace tavo::core::domain::testing
