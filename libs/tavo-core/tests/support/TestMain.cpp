// Entry point of every test executable. Before any test runs, the process is
// made safe: every production host the library can reach is redirected to a
// closed local port (tests that need a stand-in point a host at it), HOME is
// a throwaway folder so nothing lands in the real per-user folders, and the
// portal's fixed pauses are recorded instead of slept. Each test then gets a
// HOME of its own and a process as fresh as the rig can make it, so a binary
// passes run whole and in any order, not only one test per process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "infrastructure/http/NapEndpoints.h"
#include "support/Pauses.h"
#include "support/TempDir.h"
#include "support/TestIsolation.h"

namespace {

std::string failClosedConnectTo() {
    std::string value;
    for (const char* host : tavo::core::infra::nap::kAllHosts) {
        if (!value.empty()) value += ',';
        value += std::string(host) + ":443:127.0.0.1:1";
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("TAVO_TEST_CONNECT_TO", failClosedConnectTo().c_str(), 1);
    static tavo::test::TempDir home("tavo-home");
    ::setenv("HOME", home.str().c_str(), 1);
    tavo::test::recordPausesInsteadOfSleeping();
    ::testing::InitGoogleTest(&argc, argv);
    tavo::test::installPerTestIsolation();
    return RUN_ALL_TESTS();
}
