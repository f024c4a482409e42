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
// to call from any thread; listeners run on the calling thread after the
// store's lock is released, so they may call back into the store.
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
    void updateStatus(const std::string& id, JobStatus status, const std::string& message, int progressPercent);
    void setResult(const std::string& id, const SubmissionJob& result);
    void addListener(Listener listener);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavo::jobs
