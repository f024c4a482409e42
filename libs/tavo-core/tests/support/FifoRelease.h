#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "common/Files.h"

namespace tavo::test {

// Runs call on a thread of its own. Still blocked after 5 s (on the FIFO at
// path), the test fails and the FIFO's far end, opened with farEnd, is held
// open until the call has returned.
inline void callReleasingFifo(const std::function<void()>& call, const std::string& path, int farEnd) {
    core::common::files::UniqueFd release;
    std::future<void> done = std::async(std::launch::async, call);
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "still blocked on " << path << " after 5 s";
        release.reset(::open(path.c_str(), farEnd | O_NONBLOCK | O_CLOEXEC));
    }
    done.get();
}

}  // namespace tavo::test
