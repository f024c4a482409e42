#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

#include <gtest/gtest.h>

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
// version: how a misbehaving runtime hangs, floods or leaves processes
// behind. The cases may replace PATH: use absolute tools.
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

// Kills the process whose id a fake wrote to file + ".pid" (echo $$ > "$me.pid").
void killFakeJava(const std::filesystem::path& file);

// Runs a discovery call on a thread of its own and waits at most limit for
// it: past that the test fails and the fake's recorded process is killed
// (again for each further run the call starts), so that the call returns
// and the test goes on instead of hanging.
template <class Call>
auto callWithin(Call call, std::chrono::milliseconds limit, const std::filesystem::path& fake) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "the call did not return within " << limit.count() << " ms";
        for (int round = 0; round < 10 && result.wait_for(limit) != std::future_status::ready; ++round)
            killFakeJava(fake);
        if (result.wait_for(limit) != std::future_status::ready) std::abort();
    }
    return result.get();
}

// The java program of the installed OpenJDK 17; empty when there is none.
std::string installedJdk17Java();

}  // namespace tavo::test
