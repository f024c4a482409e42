#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tavo::core::infra::tavocloud {

// Remembers token ids for a fixed time so that each token is accepted once.
class ReplayCache {
public:
    explicit ReplayCache(int64_t ttlSeconds);
    ReplayCache(const ReplayCache&) = delete;
    ReplayCache& operator=(const ReplayCache&) = delete;

    // True exactly once per jti within the time to live; false for an empty jti.
    bool acceptOnce(const std::string& jti);
    void clear();
    // Entries held, expired ones included until the next sweep.
    size_t size() const;

private:
    using Clock = std::chrono::steady_clock;

    void sweepLocked(Clock::time_point now);

    mutable std::mutex mutex_;
    int64_t ttlSeconds_;
    std::unordered_map<std::string, Clock::time_point> expiries_;
};

}  // namespace tavo::core::infra::tavocloud
