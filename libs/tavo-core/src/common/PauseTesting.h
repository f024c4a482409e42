#pragma once

#include <chrono>
#include <functional>

// For the test rig only: production code includes Pause.h, never this.
namespace tavo::core::common::testing {

using PauseHandler = std::function<void(std::chrono::milliseconds)>;

// Every later pauseFor calls handler instead of sleeping; an empty handler
// restores the real sleep. Set before threads that pause are started.
void setPauseHandler(PauseHandler handler);

}  // namespace tavo::core::common::testing
