#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "operations/jobs/SubmissionStore.h"
#include "support/QuietStderr.h"
#include "support/UuidCheck.h"

using tavo::jobs::JobStatus;
using tavo::jobs::SubmissionJob;
using tavo::jobs::SubmissionStore;
using tavo::test::isUuidV4;

namespace {}  // namespace

TEST(SubmissionStoreConcurrency, EightThreadsEnqueueUniqueVersion4Ids) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 10000;
    SubmissionStore store;
    std::atomic<long> notified{0};
    store.addListener([&](const SubmissionJob& job) {
        if (job.status == JobStatus::Queued) notified.fetch_add(1, std::memory_order_relaxed);
    });

    std::vector<std::vector<std::string>> ids(kThreads);
    std::atomic<bool> done{false};
    {
        tavo::test::QuietStderr quiet;  // 80,000 log lines
        // A reader and a mutator run beside the writers, as the agent's other
        // HTTP workers would.
        std::thread reader([&] {
            while (!done.load()) {
                for (const auto& job : store.list(1000)) store.updateStatus(job.id, JobStatus::Validating, "", -1);
            }
        });
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t) {
            writers.emplace_back([&, t] {
                ids[t].reserve(kPerThread);
                for (int i = 0; i < kPerThread; ++i) {
                    SubmissionJob job;
                    job.declarationDir = "/d" + std::to_string(t);
                    ids[t].push_back(store.enqueue(job));
                }
            });
        }
        for (auto& w : writers) w.join();
        done = true;
        reader.join();
    }

    std::unordered_set<std::string> unique;
    for (const auto& perThread : ids) {
        for (const auto& id : perThread) {
            ASSERT_TRUE(isUuidV4(id)) << id;
            unique.insert(id);
        }
    }
    EXPECT_EQ(unique.size(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(notified.load(), kThreads * kPerThread);

    auto listed = store.list(5000);
    EXPECT_EQ(listed.size(), SubmissionStore::kMaxJobs);
    for (const auto& job : listed) EXPECT_TRUE(unique.count(job.id)) << job.id;
}

// Two workers change each job at the same moment, one to submitting and one to
// its final result (the race a user's screen would show): the last change a
// listener saw of each job must be the one the store holds, and each worker's
// own changes must reach it in the order they were made.
TEST(SubmissionStoreConcurrency, ListenersReceiveEachJobsChangesInStoreOrder) {
    constexpr int kJobs = static_cast<int>(SubmissionStore::kMaxJobs);
    tavo::test::QuietStderr quiet;  // a log line per job
    SubmissionStore store;
    std::vector<std::string> ids;
    for (int j = 0; j < kJobs; ++j) ids.push_back(store.enqueue(SubmissionJob{}));

    std::mutex seenMutex;
    std::map<std::string, SubmissionJob> lastSeen;
    std::map<std::string, int> lastStepSeen;  // the progress of the worker that counts steps
    int outOfOrder = 0;
    store.addListener([&](const SubmissionJob& job) {
        // Widens the gap between the store's change and this record, as a
        // listener that writes to a socket would.
        std::this_thread::yield();
        std::lock_guard<std::mutex> lock(seenMutex);
        lastSeen[job.id] = job;
        if (job.status != JobStatus::Signing) return;
        int& last = lastStepSeen[job.id];
        if (job.progressPercent <= last) ++outOfOrder;
        last = job.progressPercent;
    });

    std::vector<std::atomic<int>> arrived(kJobs);
    auto meet = [&](int j) {
        arrived[j].fetch_add(1);
        while (arrived[j].load() < 2) std::this_thread::yield();
    };
    std::thread submitter([&] {
        for (int j = 0; j < kJobs; ++j) {
            meet(j);
            store.updateStatus(ids[j], JobStatus::Submitting, "sending", 70);
        }
    });
    std::thread finisher([&] {
        for (int j = 0; j < kJobs; ++j) {
            meet(j);
            SubmissionJob result;
            result.status = JobStatus::Completed;
            result.documentId = std::to_string(j);
            store.setResult(ids[j], result);
        }
    });
    // A third worker steps a few jobs through signing, counting up.
    std::thread stepper([&] {
        for (int step = 1; step <= 2000; ++step) store.updateStatus(ids[step % 8], JobStatus::Signing, "", step);
    });
    submitter.join();
    finisher.join();
    stepper.join();

    std::lock_guard<std::mutex> lock(seenMutex);
    EXPECT_EQ(outOfOrder, 0);
    int stale = 0;
    for (const std::string& id : ids) {
        const SubmissionJob stored = *store.get(id);
        ASSERT_TRUE(lastSeen.count(id));
        if (lastSeen[id].status != stored.status || lastSeen[id].progressPercent != stored.progressPercent ||
            lastSeen[id].documentId != stored.documentId)
            ++stale;
    }
    EXPECT_EQ(stale, 0);
}

// A user cancels while a worker picks the job up: whichever comes first wins,
// and a job whose cancellation was confirmed is never moved on.
TEST(SubmissionStoreConcurrency, ConfirmedCancellationIsNeverOverrun) {
    constexpr int kJobs = static_cast<int>(SubmissionStore::kMaxJobs);
    tavo::test::QuietStderr quiet;  // a log line per job, a WARN line per lost race
    SubmissionStore store;
    std::vector<std::string> ids;
    for (int j = 0; j < kJobs; ++j) ids.push_back(store.enqueue(SubmissionJob{}));
    std::vector<char> cancelled(kJobs, 0), picked(kJobs, 0);
    std::atomic<int> lastSeenCancelled{0};
    store.addListener([&](const SubmissionJob& job) {
        if (job.status == JobStatus::Cancelled) lastSeenCancelled.fetch_add(1);
    });
    {
        std::thread user([&] {
            for (int j = 0; j < kJobs; ++j) cancelled[j] = store.cancel(ids[j]) ? 1 : 0;
        });
        std::thread worker([&] {
            for (int j = 0; j < kJobs; ++j) {
                if (!store.updateStatus(ids[j], JobStatus::Validating, "picked up", 5)) continue;
                picked[j] = 1;
                SubmissionJob result;
                result.status = JobStatus::Failed;
                result.errorMessage = "invalid";
                store.setResult(ids[j], result);
            }
        });
        user.join();
        worker.join();
    }
    int cancelledCount = 0;
    for (int j = 0; j < kJobs; ++j) {
        ASSERT_TRUE(store.get(ids[j])) << j;
        const SubmissionJob job = *store.get(ids[j]);
        if (cancelled[j]) {
            ++cancelledCount;
            ASSERT_EQ(job.status, JobStatus::Cancelled) << j;
            ASSERT_EQ(job.errorMessage, "") << j;
            ASSERT_EQ(picked[j], 0) << j;
        } else {
            ASSERT_EQ(job.status, JobStatus::Failed) << j;
            ASSERT_EQ(picked[j], 1) << j;
        }
    }
    EXPECT_EQ(lastSeenCancelled.load(), cancelledCount);
}
