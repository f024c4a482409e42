#pragma once

#include <string>

// For the test rig only: production code includes JavaHome.h, never this.
namespace tavo::platform {

// Tests replace the command with a function of their own; null restores it.
using JavaHomeSource = std::string (*)();
void setJavaHomeSourceForTesting(JavaHomeSource source);

}  // namespace tavo::platform
