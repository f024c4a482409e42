#pragma once

#include <string>

namespace tavo::platform {

// Our stand-in for the system's java_home command: its output, a JAVA_HOME-like
// folder followed by a line feed, or nothing when no runtime is known.
std::string javaHomeOutput();

// The same search with its inputs given: defaultJava is used when it is a
// folder; otherwise the first executable "java" on pathList (":"-separated,
// empty entries skipped) with links resolved and "/bin/java" removed.
std::string javaHomeOutputFor(const std::string& defaultJava, const char* pathList);

}  // namespace tavo::platform
