#pragma once

#include <chrono>

namespace tavo::core::common {

// The portal's fixed waits (between selection steps, before a new document
// is listed). Production sleeps for exactly the time given; the test rig
// replaces the sleep through PauseTesting.h so that suites need not wait.
void pauseFor(std::chrono::milliseconds duration);

}  // namespace tavo::core::common
