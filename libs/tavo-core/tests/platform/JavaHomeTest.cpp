#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/JavaHome.h"
#include "platform/JavaHomeTesting.h"
#include "support/FakeJava.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using tavo::platform::javaHomeOutput;
using tavo::platform::javaHomeOutputFor;

TEST(JavaHome, DefaultJavaFolderComesFirst) {
    tavo::test::TempDir dir;
    fs::create_directories(dir / "default-java");
    tavo::test::writeFakeJava(dir / "jdk" / "bin" / "java", {});
    std::string path = (dir / "jdk" / "bin").string();
    EXPECT_EQ(javaHomeOutputFor((dir / "default-java").string(), path.c_str()), (dir / "default-java").string() + "\n");
}

TEST(JavaHome, FollowsLinksOfTheJavaOnPath) {
    tavo::test::TempDir dir;
    tavo::test::writeFakeJava(dir / "jdk" / "bin" / "java", {});
    tavo::test::writeFakeJava(dir / "shadowed" / "bin" / "java", {});
    tavo::test::writeFakeJava(dir / "noexec" / "java", {"", "", "", false});
    fs::create_directories(dir / "links");
    fs::create_symlink(dir / "jdk" / "bin" / "java", dir / "links" / "java");
    std::string path = ":" + (dir / "noexec").string() + "::" + (dir / "links").string() + ":" +
                       (dir / "shadowed" / "bin").string() + ":";
    std::string expected = (fs::canonical(dir.path()) / "jdk").string() + "\n";
    EXPECT_EQ(javaHomeOutputFor((dir / "absent").string(), path.c_str()), expected);
}

TEST(JavaHome, NothingWithoutAUsableJava) {
    tavo::test::TempDir dir;
    tavo::test::writeFakeJava(dir / "odd" / "java", {});  // not inside a bin folder
    std::string odd = (dir / "odd").string();
    std::string empty = (dir / "empty").string();
    fs::create_directories(empty);
    std::string absent = (dir / "absent").string();
    EXPECT_EQ(javaHomeOutputFor(absent, nullptr), "");
    EXPECT_EQ(javaHomeOutputFor(absent, ""), "");
    EXPECT_EQ(javaHomeOutputFor(absent, empty.c_str()), "");
    EXPECT_EQ(javaHomeOutputFor(absent, odd.c_str()), "");
}

TEST(JavaHome, TestsCanReplaceTheCommand) {
    tavo::platform::setJavaHomeSourceForTesting([] { return std::string("/replaced\n"); });
    EXPECT_EQ(javaHomeOutput(), "/replaced\n");
    tavo::platform::setJavaHomeSourceForTesting(nullptr);
    EXPECT_EQ(javaHomeOutput(), javaHomeOutputFor("/usr/lib/jvm/default-java", std::getenv("PATH")));
}
