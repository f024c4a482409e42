#pragma once

// For the test rig only: production code includes TestSeam.h, never this.
namespace tavo::core::infra::http::testing {

// The seam's warnings are logged once per process; after this, once more.
void forgetSeamWarnings();

}  // namespace tavo::core::infra::http::testing
