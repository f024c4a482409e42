// Prints the library version and the per-user folders the agent uses.
#include <iostream>

#include "LibraryVersion.h"
#include "common/Paths.h"

int main() {
    std::cout << "tavo-core " << TAVO_CORE_VERSION_STRING << "\n"
              << "application data: " << tavo::Paths::localAppData() << "\n"
              << "logs:             " << tavo::Paths::logsDir() << "\n"
              << "StampIT cache:    " << tavo::Paths::stampitRoot() << "\n"
              << "executable dir:   " << tavo::Paths::executableDir() << "\n";
    return 0;
}
