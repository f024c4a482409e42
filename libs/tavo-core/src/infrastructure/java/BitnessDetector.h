#pragma once

#include <cstdint>
#include <string>

namespace tavo::stampit {

enum class Arch : int32_t { Unknown = 0, X86 = 1, X86_64 = 2, Aarch64 = 3 };

// Asks a Java runtime for its processor architecture and names the applet's
// native files that match it.
class BitnessDetector {
public:
    static Arch detect(const std::string& javaPath);
    // Relative to the applet's download base; empty when no archive fits.
    static std::string nativeJarFor(Arch arch);
    static std::string nativeLibFileName();
};

}  // namespace tavo::stampit
