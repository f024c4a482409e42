#include "operations/jobs/SubmissionStore.h"

#include <algorithm>
#include <array>
#include <atomic>
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

void notify(const ListenerList& listeners, const SubmissionJob& job) {
    for (const auto& listener : listeners) {
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
        const ListenerList* listeners;
        SubmissionJob job;
    };
    // The delivery of one job's changes. state: bit 0 set while a thread
    // delivers them, bit 1 once the job has left the store meanwhile, and
    // above them how many changes wait in `waiting` (guarded by the lock) for
    // that thread. The deliverer gives the lane up without the lock when
    // nothing waits, so a change takes the store's lock only once.
    struct Lane {
        std::atomic<std::uint32_t> state{0};
        // Seldom more than one or two, and a vector allocates nothing while
        // empty, which is nearly always.
        std::vector<Change> waiting;
    };
    static constexpr std::uint32_t kBusy = 1, kLeft = 2, kOneWaiting = 4;

    // A stored job with the delivery of its changes, made on its first change
    // while a listener is registered.
    struct Entry {
        SubmissionJob job;
        std::unique_ptr<Lane> lane;  // by address: a deliverer outlives the entry
    };

    mutable std::mutex mutex;
    std::unordered_map<std::string, Entry> jobs;
    std::deque<std::string> order;  // oldest at the front
    // Every list of listeners there has been, the current one last: a change
    // points at the list of its time, which stays as it is (adding makes a
    // new one) for the life of the store. Listeners are added a few times at
    // start-up, so keeping the old lists costs nothing, and a change needs no
    // reference count that every thread would contend on.
    std::deque<ListenerList> listenerLists = std::deque<ListenerList>(1);
    const ListenerList* listeners = &listenerLists.back();
    // Lanes of jobs that left the store while a thread still delivered their
    // changes; that thread drops the lane when done.
    std::vector<std::unique_ptr<Lane>> leftLanes;

    // The jobs whose changes this thread delivers now. A change a listener
    // makes to another job joins the list instead of being delivered inside
    // the listener, so it reaches every listener after the current one.
    struct Frame {
        const Impl* store;
        std::vector<Lane*> lanes;
        Frame* outer;
    };
    static thread_local Frame* tlFrame;

    Frame* frameOf() const {
        for (Frame* f = tlFrame; f; f = f->outer)
            if (f->store == this) return f;
        return nullptr;
    }

    // Lock held. A job that leaves the store takes its lane along, unless a
    // thread still delivers its last changes.
    void forget(const std::string& id) {
        auto entry = jobs.find(id);
        if (entry == jobs.end()) return;
        if (Lane* lane = entry->second.lane.get()) {
            std::uint32_t state = lane->state.load(std::memory_order_acquire);
            while (state != 0 && !lane->state.compare_exchange_weak(state, state | kLeft, std::memory_order_acq_rel)) {
            }
            if (state != 0) leftLanes.push_back(std::move(entry->second.lane));
        }
        jobs.erase(entry);
    }

    // Called with the lock held, right after the change. Returns with the
    // lock released. Never waits for another thread.
    void publish(std::unique_lock<std::mutex>& lock, Entry& entry) {
        // Nobody to tell: a listener added later starts from later changes.
        if (listeners->empty()) {
            lock.unlock();
            return;
        }
        if (!entry.lane) entry.lane = std::make_unique<Lane>();
        Lane& lane = *entry.lane;
        const SubmissionJob& job = entry.job;
        // Another thread delivers this job: it takes this change next (it
        // waits for the lock, never longer, to see it), unless it gives the
        // lane up first.
        std::uint32_t state = lane.state.load(std::memory_order_acquire);
        while (state != 0) {
            if (lane.state.compare_exchange_weak(state, state + kOneWaiting, std::memory_order_acq_rel)) {
                lane.waiting.push_back(Change{listeners, job});
                lock.unlock();
                return;
            }
        }
        // Inside a listener: this thread takes the lane up afterwards.
        if (Frame* delivering = frameOf()) {
            lane.waiting.push_back(Change{listeners, job});
            lane.state.store(kBusy + kOneWaiting, std::memory_order_release);
            delivering->lanes.push_back(&lane);
            lock.unlock();
            return;
        }
        lane.state.store(kBusy, std::memory_order_release);
        // Nothing of the entry is read after the unlock: it may leave.
        std::optional<Change> first(Change{listeners, job});
        lock.unlock();
        Frame frame{this, {}, tlFrame};
        tlFrame = &frame;
        struct Restore {
            Frame& frame;
            ~Restore() { tlFrame = frame.outer; }
        } restore{frame};
        drain(lane, first);
        for (std::size_t i = 0; i < frame.lanes.size(); ++i) {
            std::optional<Change> none;
            drain(*frame.lanes[i], none);
        }
    }

    // Lock not held. Delivers the job's changes one at a time until none is
    // waiting, then gives the lane up.
    void drain(Lane& lane, std::optional<Change>& next) {
        for (;;) {
            if (!next) {
                std::uint32_t idle = kBusy;
                if (lane.state.compare_exchange_strong(idle, 0, std::memory_order_acq_rel)) return;
                std::lock_guard<std::mutex> lock(mutex);
                if (lane.waiting.empty()) {
                    // Only the job's leaving kept the lane: drop it.
                    if (lane.state.load(std::memory_order_acquire) & kLeft) {
                        std::erase_if(leftLanes, [&](const auto& left) { return left.get() == &lane; });
                        return;
                    }
                    continue;
                }
                next = std::move(lane.waiting.front());
                lane.waiting.erase(lane.waiting.begin());
                lane.state.fetch_sub(kOneWaiting, std::memory_order_acq_rel);
            }
            notify(*next->listeners, next->job);
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
        // A job stored under the same id is replaced; its lane stays, as a
        // thread may be delivering through it.
        auto [it, inserted] = impl_->jobs.try_emplace(job.id);
        it->second.job = job;
        // A stored id moves to the newest place instead of standing twice in
        // the order: otherwise eviction could drop the job just stored and a
        // listing would show it twice.
        if (!inserted) {
            auto pos = std::find(impl_->order.begin(), impl_->order.end(), job.id);
            if (pos != impl_->order.end()) impl_->order.erase(pos);
        }
        impl_->order.push_back(job.id);
        while (impl_->order.size() > kMaxJobs) {
            impl_->forget(impl_->order.front());
            impl_->order.pop_front();
        }
        impl_->publish(lock, it->second);
    }

    Logger::info("Enqueued job " + utf8::escapeForLog(job.id) + " dir=" + utf8::escapeForLog(job.declarationDir));
    return job.id;
}

std::optional<SubmissionJob> SubmissionStore::get(const std::string& id) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->jobs.find(id);
    if (it == impl_->jobs.end()) return std::nullopt;
    return it->second.job;
}

std::vector<SubmissionJob> SubmissionStore::list(std::size_t limit) const {
    std::vector<SubmissionJob> out;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    out.reserve(std::min(limit, impl_->order.size()));
    for (auto it = impl_->order.rbegin(); it != impl_->order.rend() && out.size() < limit; ++it) {
        auto job = impl_->jobs.find(*it);
        if (job != impl_->jobs.end()) out.push_back(job->second.job);
    }
    return out;
}

bool SubmissionStore::cancel(const std::string& id) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    auto it = impl_->jobs.find(id);
    if (it == impl_->jobs.end() || it->second.job.status != JobStatus::Queued) return false;
    it->second.job.status = JobStatus::Cancelled;
    it->second.job.completedAt = Clock::now();
    impl_->publish(lock, it->second);
    return true;
}

bool SubmissionStore::updateStatus(const std::string& id, JobStatus status, const std::string& message,
                                   int progressPercent) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    auto it = impl_->jobs.find(id);
    if (it == impl_->jobs.end()) return false;
    SubmissionJob& job = it->second.job;
    if (job.status == JobStatus::Cancelled) {
        lock.unlock();
        Logger::warn("Job " + utf8::escapeForLog(id) + " was cancelled: change to " + toString(status) + " ignored");
        return false;
    }
    job.status = status;
    if (!message.empty()) job.progressMessage = message;
    if (progressPercent >= 0) job.progressPercent = progressPercent;
    if (status != JobStatus::Queued && job.startedAt == SubmissionJob::TimePoint{}) job.startedAt = Clock::now();
    impl_->publish(lock, it->second);
    return true;
}

bool SubmissionStore::setResult(const std::string& id, const SubmissionJob& result) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    auto it = impl_->jobs.find(id);
    if (it == impl_->jobs.end()) return false;
    SubmissionJob& job = it->second.job;
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
    impl_->publish(lock, it->second);
    // The agency has the declaration whatever the user asked: a filing hidden
    // behind "cancelled" would be filed a second time.
    if (wasCancelled)
        Logger::warn("Job " + utf8::escapeForLog(id) + " was cancelled, but its declaration was filed: document id " +
                     utf8::escapeForLog(result.documentId) + ", status " + toString(result.status));
    return true;
}

void SubmissionStore::addListener(Listener listener) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ListenerList next = *impl_->listeners;
    next.push_back(std::move(listener));
    impl_->listenerLists.push_back(std::move(next));
    impl_->listeners = &impl_->listenerLists.back();
}

}  // namespace tavo::jobs
