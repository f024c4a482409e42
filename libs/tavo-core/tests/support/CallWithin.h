#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <utility>

#include "support/TestArchives.h"

namespace tavo::test {

// Ends a process that cannot finish its test, with what gtest has printed
// (the failure says where it waited) on its way out.
[[noreturn]] inline void abortFlushed() {
    std::fflush(nullptr);
    std::abort();
}

// Runs call on a thread of its own and waits at most limit for it, and only
// while this process grows by less than 1 GiB: past that the test fails and
// stop runs (each second, ten times at most) so that the call returns instead
// of hanging the test or filling the machine; else the process aborts.
template <class Call, class Stop>
auto callWithin(Call call, std::chrono::milliseconds limit, Stop stop) {
    auto result = std::async(std::launch::async, call);
    const std::uint64_t peakBefore = peakRssBytes();
    const auto until = std::chrono::steady_clock::now() + limit;
    while (result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() < until && peakRssBytes() - peakBefore < (std::uint64_t{1} << 30))
            continue;
        ADD_FAILURE() << "the call did not return within " << limit.count() << " ms, or grew the process by 1 GiB";
        stop();
        for (int i = 0; i < 10 && result.wait_for(std::chrono::seconds(1)) != std::future_status::ready; ++i) stop();
        if (result.wait_for(std::chrono::seconds(1)) != std::future_status::ready) abortFlushed();
    }
    return result.get();
}

// The same for a call that nothing can stop (threads in a deadlock can be
// neither stopped nor joined): past the limit the test fails and the process
// aborts at once. A SCOPED_TRACE of the caller names what waited.
template <class Call>
auto callWithin(Call call, std::chrono::milliseconds limit) {
    return callWithin(std::move(call), limit, [] { abortFlushed(); });
}

}  // namespace tavo::test
