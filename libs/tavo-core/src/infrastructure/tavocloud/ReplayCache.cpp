#include "infrastructure/tavocloud/ReplayCache.h"

namespace tavo::core::infra::tavocloud {
namespace {

// now + ttl without overflowing the clock: a huge ttl means "until the end of
// time", a ttl of zero or less expires at once.
std::chrono::steady_clock::time_point expiryFrom(std::chrono::steady_clock::time_point now, int64_t ttlSeconds) {
    using namespace std::chrono;
    if (ttlSeconds <= 0) return now;
    auto room = duration_cast<seconds>(steady_clock::time_point::max() - now).count();
    if (ttlSeconds >= room) return steady_clock::time_point::max();
    return now + seconds(ttlSeconds);
}

}  // namespace

ReplayCache::ReplayCache(int64_t ttlSeconds) : ttlSeconds_(ttlSeconds) {}

bool ReplayCache::acceptOnce(const std::string& jti) {
    if (jti.empty()) return false;
    // Read before locking: two racing calls for one jti still give one true.
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    sweepLocked(now);
    if (expiries_.count(jti) != 0) return false;
    expiries_.emplace(jti, expiryFrom(now, ttlSeconds_));
    return true;
}

void ReplayCache::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    expiries_.clear();
}

size_t ReplayCache::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return expiries_.size();
}

void ReplayCache::sweepLocked(Clock::time_point now) {
    for (auto it = expiries_.begin(); it != expiries_.end();) {
        if (it->second <= now)
            it = expiries_.erase(it);
        else
            ++it;
    }
}

}  // namespace tavo::core::infra::tavocloud
