#include "common/ExecutablePath.h"

#include <unistd.h>

namespace tavo {

std::string executablePath() {
    constexpr size_t kBufferSize = 1024;
    char buffer[kBufferSize];
    ssize_t n = ::readlink("/proc/self/exe", buffer, kBufferSize);
    // A result that fills the buffer may have been cut: treat it as failure.
    if (n <= 0 || static_cast<size_t>(n) >= kBufferSize) return {};
    return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace tavo
