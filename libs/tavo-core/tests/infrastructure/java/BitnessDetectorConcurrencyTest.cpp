// Architecture detection runs the program once or twice, each run with the
// runner's error-reading thread.
#include <sys/utsname.h>

#include <gtest/gtest.h>

#include <string>

#include "infrastructure/java/BitnessDetector.h"
#include "support/FakeJava.h"
#include "support/TempDir.h"

using tavo::stampit::Arch;
using tavo::stampit::BitnessDetector;

TEST(BitnessDetectorConcurrency, FakeRuntimes) {
    const std::string v64 = "openjdk version \"17\"\nOpenJDK 64-Bit Server VM\n";
    struct Case {
        const char* name;
        tavo::test::FakeJavaSpec spec;
        Arch arch;
        const char* calls;
    };
    const char* once = "-version\n";
    const char* twice = "-version\n-XshowSettings:properties -version\n";
    const Case cases[] = {
        {"aarch64 on stderr", {v64, "    os.arch = aarch64\n", "", true}, Arch::Aarch64, twice},
        {"aarch64 on stdout", {v64, "", "    os.arch = aarch64\n", true}, Arch::Aarch64, twice},
        {"x86_64 properties", {v64, "    os.arch = x86_64\n", "", true}, Arch::X86_64, twice},
        {"no properties", {v64, "", "", true}, Arch::X86_64, twice},
        {"both bitness words", {"32-Bit and 64-Bit\n", "    os.arch = aarch64\n", "", true}, Arch::Aarch64, twice},
        {"32-bit only",
         {"java version \"1.8\"\nClient VM 32-Bit\n", "    os.arch = aarch64\n", "", true},
         Arch::X86,
         once},
        {"no bitness", {"java version \"1.8\"\n", "", "", true}, Arch::Unknown, once},
        {"too short", {"64-B\n", "", "", true}, Arch::Unknown, once},
        {"not executable", {v64, "", "", false}, Arch::Unknown, ""},
    };
    tavo::test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto java = dir / c.name / "java";
        tavo::test::writeFakeJava(java, c.spec);
        EXPECT_EQ(BitnessDetector::detect(java.string()), c.arch);
        EXPECT_EQ(tavo::test::fakeJavaCalls(java), c.calls);
    }
    EXPECT_EQ(BitnessDetector::detect((dir / "absent" / "java").string()), Arch::Unknown);
    // One that cannot be asked its properties is the 64-bit runtime it claims to be.
    const auto gone = dir / "gone" / "java";
    tavo::test::writeFakeJava(gone, {v64, "    os.arch = aarch64\n", "", true}, {"", "/bin/rm \"$me\""});
    EXPECT_EQ(BitnessDetector::detect(gone.string()), Arch::X86_64);
}

TEST(BitnessDetectorConcurrency, InstalledJdkMatchesTheMachine) {
    std::string java = tavo::test::installedJdk17Java();
    ASSERT_FALSE(java.empty()) << "OpenJDK 17 is not installed";
    utsname u{};
    ASSERT_EQ(::uname(&u), 0);
    std::string machine = u.machine;
    Arch expected = machine == "aarch64" ? Arch::Aarch64 : machine == "x86_64" ? Arch::X86_64 : Arch::Unknown;
    ASSERT_NE(expected, Arch::Unknown) << machine;
    Arch arch = BitnessDetector::detect(java);
    EXPECT_EQ(arch, expected);
    EXPECT_NE(BitnessDetector::nativeJarFor(arch), "");
}
