#include "common/Pause.h"

#include <thread>

#include "common/PauseTesting.h"

namespace tavo::core::common {
namespace {

testing::PauseHandler& handler() {
    static testing::PauseHandler instance;
    return instance;
}

}  // namespace

void pauseFor(std::chrono::milliseconds duration) {
    if (const auto& replaced = handler()) {
        replaced(duration);
        return;
    }
    std::this_thread::sleep_for(duration);
}

namespace testing {

void setPauseHandler(PauseHandler replacement) {
    handler() = std::move(replacement);
}

}  // namespace testing
}  // namespace tavo::core::common
