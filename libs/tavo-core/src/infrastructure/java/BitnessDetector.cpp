#include "infrastructure/java/BitnessDetector.h"

#include "infrastructure/java/JavaFinder.h"

namespace tavo::stampit {

Arch BitnessDetector::detect(const std::string& javaPath) {
    if (javaPath.empty()) return Arch::Unknown;
    auto version = askJava(javaPath, {"-version"}, false);
    if (!version || version->size() < 6) return Arch::Unknown;
    if (version->find("64-Bit") == std::string::npos)
        return version->find("32-Bit") != std::string::npos ? Arch::X86 : Arch::Unknown;
    // A runtime that cannot say more is taken as the 64-bit one it claims to be.
    auto properties = askJava(javaPath, {"-XshowSettings:properties", "-version"}, true);
    if (!properties) return Arch::X86_64;
    return properties->find("os.arch = aarch64") != std::string::npos ? Arch::Aarch64 : Arch::X86_64;
}

std::string BitnessDetector::nativeJarFor(Arch arch) {
    switch (arch) {
        case Arch::Aarch64:
            return "native/vatclient-darwin-aarch64.jar";
        case Arch::X86_64:
            return "native/vatclient-darwin-x86_64.jar";
        default:
            return {};
    }
}

std::string BitnessDetector::nativeLibFileName() {
    return "libvatclient.dylib";
}

}  // namespace tavo::stampit
