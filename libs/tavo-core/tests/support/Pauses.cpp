#include "support/Pauses.h"

#include <mutex>

#include "common/PauseTesting.h"

namespace tavo::test {
namespace {

std::mutex g_mutex;
std::vector<std::chrono::milliseconds> g_recorded;

}  // namespace

void recordPausesInsteadOfSleeping() {
    tavo::core::common::testing::setPauseHandler([](std::chrono::milliseconds duration) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_recorded.push_back(duration);
    });
}

std::vector<std::chrono::milliseconds> recordedPauses() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_recorded;
}

void clearRecordedPauses() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_recorded.clear();
}

}  // namespace tavo::test
