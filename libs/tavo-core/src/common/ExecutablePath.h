#pragma once

#include <string>

namespace tavo {

// Path of the running executable as the system reports it, links not
// resolved beyond what the kernel gives; empty when it does not fit the
// 1024-byte buffer or cannot be read.
std::string executablePath();

}  // namespace tavo
