#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavo::jobs {

enum class JobStatus : uint32_t {
    Queued = 0,
    Validating = 1,
    Signing = 2,
    Submitting = 3,
    Polling = 4,
    Completed = 5,
    Failed = 6,
    Cancelled = 7,
};

// Wire name of the status; "unknown" for codes outside 0..7.
const char* toString(JobStatus status);

struct SubmissionJob {
    using TimePoint = std::chrono::system_clock::time_point;

    std::string id;
    std::string declarationDir;
    std::string signerEmail;
    std::string iban;
    std::string certificateId;
    JobStatus status = JobStatus::Queued;
    int32_t progressPercent = 0;
    std::string progressMessage;
    TimePoint createdAt{};
    TimePoint startedAt{};    // epoch: not started
    TimePoint completedAt{};  // epoch: not completed
    std::string incomeNumber;
    std::string documentId;
    std::vector<std::string> validationErrors;
    std::vector<std::string> nativeErrors;
    std::string errorMessage;
};

// A random version 4 UUID in lower-case text form. The ids are handles on the
// agent's local API, so they come from one process-wide generator seeded with
// several words of the system's random device; draws are serialised.
std::string newJobId();

// In-memory store of submission jobs, bounded to the newest kMaxJobs ids. Safe
// to call from any thread. Listeners run after the store's lock is released,
// normally on the thread that made the change and before its call returns,
// and never two at once for one job: a change of a job whose changes another
// thread is delivering is handed to that thread, which delivers it next, and
// the call returns at once. A change a listener makes reaches the listeners
// once the change being delivered has reached them all. So no call ever
// waits for a listener running on another thread, a listener may call back
// into the store and may wait until get() shows another thread's change (not
// for that change's notification, which may be its own thread's to deliver),
// and a listener sees:
// - each job's changes in the order the store made them, the last being the
//   job as the store holds it;
// - one thread's changes in the order it made them, except that a change
//   handed to another thread may come after its maker's later changes of
//   other jobs;
// - nothing of changes made while no listener was registered.
//
// A cancelled job stays cancelled: updateStatus and setResult on it change
// nothing and return false, with a WARN line, so a worker that checks can stop.
// The one exception is a result carrying a document id: the declaration was
// filed after all, and that is recorded (with a WARN) rather than hidden.
class SubmissionStore {
public:
    using Listener = std::function<void(const SubmissionJob&)>;
    static constexpr std::size_t kMaxJobs = 1000;

    SubmissionStore();
    ~SubmissionStore();
    SubmissionStore(const SubmissionStore&) = delete;
    SubmissionStore& operator=(const SubmissionStore&) = delete;

    std::string enqueue(SubmissionJob job);
    std::optional<SubmissionJob> get(const std::string& id) const;
    std::vector<SubmissionJob> list(std::size_t limit) const;
    bool cancel(const std::string& id);
    // False when nothing was recorded: no such id, or the job was cancelled.
    bool updateStatus(const std::string& id, JobStatus status, const std::string& message, int progressPercent);
    bool setResult(const std::string& id, const SubmissionJob& result);
    void addListener(Listener listener);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavo::jobs
