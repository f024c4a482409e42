#include "operations/jobs/SubmissionStore.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <unordered_map>

#include "common/Logger.h"
#include "common/Utf8.h"

namespace tavo::jobs {
namespace {

using Clock = std::chrono::system_clock;
namespace utf8 = core::common::utf8;
using ListenerList = std::vector<SubmissionStore::Listener>;

// Shared by every store of the process. A single 32-bit seed would leave only
// 2^32 possible id sequences, so the engine's state comes from 256 bits of the
// random device through a seed sequence.
struct IdGenerator {
    std::mutex mutex;
    std::mt19937_64 engine;

    IdGenerator() {
        std::random_device device;
        std::array<std::random_device::result_type, 8> words{};
        for (auto& word : words) word = device();
        std::seed_seq seq(words.begin(), words.end());
        engine.seed(seq);
    }
};

IdGenerator& idGenerator() {
    static IdGenerator generator;
    return generator;
}

void notify(const std::shared_ptr<const ListenerList>& listeners, const SubmissionJob& job) {
    if (!listeners) return;
    for (const auto& listener : *listeners) {
        // A listener's failure (or an empty callable) must not reach the caller
        // of the store, nor keep the next listener from running.
        try {
            listener(job);
        } catch (...) {
        }
    }
}

}  // namespace

const char* toString(JobStatus status) {
    switch (status) {
        case JobStatus::Queued:
            return "queued";
        case JobStatus::Validating:
            return "validating";
        case JobStatus::Signing:
            return "signing";
        case JobStatus::Submitting:
            return "submitting";
        case JobStatus::Polling:
            return "polling";
        case JobStatus::Completed:
            return "completed";
        case JobStatus::Failed:
            return "failed";
        case JobStatus::Cancelled:
            return "cancelled";
    }
    return "unknown";
}

std::string newJobId() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id(36, '-');
    IdGenerator& gen = idGenerator();
    std::lock_guard<std::mutex> lock(gen.mutex);
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) continue;
        id[i] = kHex[gen.engine() & 0xF];
    }
    id[14] = '4';
    id[19] = kHex[8 + (gen.engine() & 0x3)];
    return id;
}

struct SubmissionStore::Impl {
    // One change on its way to the listeners, with the listeners registered
    // when it was made.
    struct Change {
        std::shared_ptr<const ListenerList> listeners;
        SubmissionJob job;
    };
    // Present while one thread delivers a job's changes: changes of that job
    // made meanwhile wait here, in the order made, for that thread.
    struct Lane {
        std::deque<Change> waiting;
    };

    mutable std::mutex mutex;
    std::unordered_map<std::string, SubmissionJob> jobs;
    std::deque<std::string> order;  // oldest at the front
    // Replaced, never modified, when a listener is added: a notification takes
    // the current list under the lock and runs it after releasing the lock.
    std::shared_ptr<const ListenerList> listeners = std::make_shared<const ListenerList>();
    std::unordered_map<std::string, Lane> lanes;  // by job id

    // The jobs whose changes this thread delivers now. A change a listener
    // makes to another job joins the list instead of being delivered inside
    // the listener, so it reaches every listener after the current one.
    struct Frame {
        const Impl* store;
        std::deque<std::string> lanes;
        Frame* outer;
    };
    static thread_local Frame* tlFrame;

    Frame* frameOf() const {
        for (Frame* f = tlFrame; f; f = f->outer)
            if (f->store == this) return f;
        return nullptr;
    }

    // Called with the lock held, right after the change. Returns with the
    // lock released. Never waits for another thread.
    void publish(std::unique_lock<std::mutex>& lock, const SubmissionJob& job) {
        // Nobody to tell: a listener added later starts from later changes.
        if (listeners->empty()) {
            lock.unlock();
            return;
        }
        auto [lane, idle] = lanes.try_emplace(job.id);
        Frame* delivering = frameOf();
        if (!idle || delivering) {
            // Another thread delivers this job (it takes this change next), or
            // this one is inside a listener and takes the lane up afterwards.
            lane->second.waiting.push_back(Change{listeners, job});
            if (idle) delivering->lanes.push_back(job.id);
            lock.unlock();
            return;
        }
        // job may be the stored one: nothing of it is read after the unlock.
        Change first{listeners, job};
        const std::string id = job.id;
        lock.unlock();
        Frame frame{this, {}, tlFrame};
        tlFrame = &frame;
        struct Restore {
            Frame& frame;
            ~Restore() { tlFrame = frame.outer; }
        } restore{frame};
        drain(id, std::move(first));
        while (!frame.lanes.empty()) {
            const std::string next = std::move(frame.lanes.front());
            frame.lanes.pop_front();
            drain(next, std::nullopt);
        }
    }

    // Lock not held. Delivers the job's changes one at a time until none is
    // waiting, then gives the lane up.
    void drain(const std::string& id, std::optional<Change> next) {
        for (;;) {
            if (!next) {
                std::lock_guard<std::mutex> lock(mutex);
                auto lane = lanes.find(id);
                if (lane->second.waiting.empty()) {
                    lanes.erase(lane);
                    return;
                }
                next = std::move(lane->second.waiting.front());
                lane->second.waiting.pop_front();
            }
            notify(next->listeners, next->job);
            next.reset();
        }
    }
};

thread_local SubmissionStore::Impl::Frame* SubmissionStore::Impl::tlFrame = nullptr;

SubmissionStore::SubmissionStore() : impl_(std::make_unique<Impl>()) {}

SubmissionStore::~SubmissionStore() = default;

std::string SubmissionStore::enqueue(SubmissionJob job) {
    if (job.id.empty()) job.id = newJobId();
    job.status = JobStatus::Queued;
    job.createdAt = Clock::now();

    {
        std::unique_lock<std::mutex> lock(impl_->mutex);
        auto [it, inserted] = impl_->jobs.insert_or_assign(job.id, job);
        // A stored id moves to the newest place instead of standing twice in
        // the order: otherwise eviction could drop the job just stored and a
        // listing would show it twice.
        if (!inserted) {
            auto pos = std::find(impl_->order.begin(), impl_->order.end(), job.id);
            if (pos != impl_->order.end()) impl_->order.erase(pos);
        }
        impl_->order.push_back(job.id);
        while (impl_->order.size() > kMaxJobs) {
            impl_->jobs.erase(impl_->order.front());
            impl_->order.pop_front();
        }
        impl_->publish(lock, job);
    }

    Logger::info("Enqueued job " + utf8::escapeForLog(job.id) + " dir=" + utf8::escapeForLog(job.declarationDir));
    return job.id;
}

std::optional<SubmissionJob> SubmissionStore::get(const std::string& id) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->jobs.find(id);
    if (it == impl_->jobs.end()) return std::nullopt;
    return it->second;
}

std::vector<SubmissionJob> SubmissionStore::list(std::size_t limit) const {
    std::vector<SubmissionJob> out;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    out.reserve(std::min(limit, impl_->order.size()));
    for (auto it = impl_->order.rbegin(); it != impl_->order.rend() && out.size() < limit; ++it) {
        auto job = impl_->jobs.find(*it);
        if (job != impl_->jobs.end()) out.push_back(job->second);
    }
    return out;
}

bool SubmissionStore::cancel(const std::string& id) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    auto it = impl_->jobs.find(id);
    if (it == impl_->jobs.end() || it->second.status != JobStatus::Queued) return false;
    it->second.status = JobStatus::Cancelled;
    it->second.completedAt = Clock::now();
    impl_->publish(lock, it->second);
    return true;
}

bool SubmissionStore::updateStatus(const std::string& id, JobStatus status, const std::string& message,
                                   int progressPercent) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    auto it = impl_->jobs.find(id);
    if (it == impl_->jobs.end()) return false;
    SubmissionJob& job = it->second;
    if (job.status == JobStatus::Cancelled) {
        lock.unlock();
        Logger::warn("Job " + utf8::escapeForLog(id) + " was cancelled: change to " + toString(status) + " ignored");
        return false;
    }
    job.status = status;
    if (!message.empty()) job.progressMessage = message;
    if (progressPercent >= 0) job.progressPercent = progressPercent;
    if (status != JobStatus::Queued && job.startedAt == SubmissionJob::TimePoint{}) job.startedAt = Clock::now();
    impl_->publish(lock, job);
    return true;
}

bool SubmissionStore::setResult(const std::string& id, const SubmissionJob& result) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    auto it = impl_->jobs.find(id);
    if (it == impl_->jobs.end()) return false;
    SubmissionJob& job = it->second;
    const bool wasCancelled = job.status == JobStatus::Cancelled;
    if (wasCancelled && result.documentId.empty()) {
        lock.unlock();
        Logger::warn("Job " + utf8::escapeForLog(id) + " was cancelled: result " + toString(result.status) +
                     " ignored");
        return false;
    }
    SubmissionJob merged = result;
    merged.id = job.id;
    merged.createdAt = job.createdAt;
    merged.startedAt = job.startedAt;
    merged.completedAt = Clock::now();
    job = std::move(merged);
    impl_->publish(lock, job);
    // The agency has the declaration whatever the user asked: a filing hidden
    // behind "cancelled" would be filed a second time.
    if (wasCancelled)
        Logger::warn("Job " + utf8::escapeForLog(id) + " was cancelled, but its declaration was filed: document id " +
                     utf8::escapeForLog(result.documentId) + ", status " + toString(result.status));
    return true;
}

void SubmissionStore::addListener(Listener listener) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto next = std::make_shared<ListenerList>(*impl_->listeners);
    next->push_back(std::move(listener));
    impl_->listeners = std::move(next);
}

}  // namespace tavo::jobs
