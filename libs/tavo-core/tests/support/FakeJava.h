#pragma once

#include <filesystem>
#include <string>

namespace tavo::test {

// What a stand-in "java" program prints. The texts are kept in files beside
// the script, so any bytes can be given.
struct FakeJavaSpec {
    std::string versionStderr;     // for every run, on standard error
    std::string propertiesStderr;  // extra, when run with -XshowSettings:properties
    std::string propertiesStdout;  // the same, on standard output
    bool ownerExecutable = true;
};

// Shell commands the fake runs before it prints anything, and after the
// version (how a runtime misbehaves). PATH may be replaced: absolute tools.
struct FakeJavaBehaviour {
    std::string before;
    std::string after;
};

// Writes a shell script named "java" at file (folders created) that behaves
// as spec says and appends each run's arguments, one line per run, to
// file + ".calls".
void writeFakeJava(const std::filesystem::path& file, const FakeJavaSpec& spec,
                   const FakeJavaBehaviour& behaviour = {});

// Lines of file + ".calls": one per run of the fake.
std::string fakeJavaCalls(const std::filesystem::path& file);

// The java program of the installed OpenJDK 17; empty when there is none.
std::string installedJdk17Java();

}  // namespace tavo::test
