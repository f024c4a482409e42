#pragma once

#include <chrono>
#include <vector>

namespace tavo::test {

// The portal's fixed pauses, recorded instead of slept: every test process
// installs the recorder before its tests run, so suites never wait, and a
// test proves the production pauses by the record.
void recordPausesInsteadOfSleeping();
std::vector<std::chrono::milliseconds> recordedPauses();
void clearRecordedPauses();

}  // namespace tavo::test
