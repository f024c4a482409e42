#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "operations/jobs/SubmissionStore.h"
#include "support/CallWithin.h"
#include "support/QuietStderr.h"
#include "support/UuidCheck.h"

using tavo::jobs::JobStatus;
using tavo::jobs::SubmissionJob;
using tavo::jobs::SubmissionStore;
using tavo::test::isUuidV4;

namespace {

// A store that makes a call wait for another thread (its lock and a delivery
// taken in opposite orders) would hang these tests: every wait of theirs is
// bounded by this, and what does not finish in it fails the test, naming
// where it waited, and ends the process (a deadlocked thread cannot be joined).
constexpr std::chrono::seconds kDeadline{15};

void finishWithin(const char* what, const std::function<void()>& wait) {
    SCOPED_TRACE(std::string("waiting for ") + what);
    tavo::test::callWithin(wait, kDeadline);
}

// Waits for the condition up to half the deadline, so that a listener's wait
// runs out before the test's own; whether it came.
bool waitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline / 2;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

}  // namespace

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
        finishWithin("the writers and the reader", [&] {
            for (auto& w : writers) w.join();
            done = true;
            reader.join();
        });
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

namespace {

std::vector<std::string> enqueueMany(SubmissionStore& store) {
    std::vector<std::string> ids;
    for (size_t j = 0; j < SubmissionStore::kMaxJobs; ++j) ids.push_back(store.enqueue(SubmissionJob{}));
    return ids;
}

}  // namespace

// Two workers change each job at the same moment, one to submitting and one to
// its final result: the last change a listener saw of each job must be the one
// the store holds. A third worker's own changes reach it in the order made.
TEST(SubmissionStoreConcurrency, ListenersReceiveEachJobsChangesInStoreOrder) {
    tavo::test::QuietStderr quiet;  // a log line per job
    SubmissionStore store;
    const std::vector<std::string> ids = enqueueMany(store);
    std::mutex seenMutex;
    std::map<std::string, SubmissionJob> lastSeen;
    std::map<std::string, int> lastStepSeen;
    int outOfOrder = 0;
    store.addListener([&](const SubmissionJob& job) {
        std::this_thread::yield();  // as slow as a listener writing to a socket
        std::lock_guard<std::mutex> lock(seenMutex);
        lastSeen[job.id] = job;
        if (job.status != JobStatus::Signing) return;
        if (job.progressPercent <= lastStepSeen[job.id]) ++outOfOrder;
        lastStepSeen[job.id] = job.progressPercent;
    });
    std::vector<std::atomic<int>> arrived(ids.size());
    auto meet = [&](size_t j) {
        arrived[j].fetch_add(1);
        while (arrived[j].load() < 2) std::this_thread::yield();
    };
    std::thread submitter([&] {
        for (size_t j = 0; j < ids.size(); ++j) {
            meet(j);
            store.updateStatus(ids[j], JobStatus::Submitting, "sending", 70);
        }
    });
    std::thread finisher([&] {
        for (size_t j = 0; j < ids.size(); ++j) {
            meet(j);
            SubmissionJob result;
            result.status = JobStatus::Completed;
            result.documentId = std::to_string(j);
            store.setResult(ids[j], result);
        }
    });
    std::thread stepper([&] {
        for (int step = 1; step <= 2000; ++step) store.updateStatus(ids[step % 8], JobStatus::Signing, "", step);
    });
    finishWithin("the submitter, the finisher and the stepper", [&] {
        submitter.join();
        finisher.join();
        stepper.join();
    });

    std::lock_guard<std::mutex> lock(seenMutex);
    EXPECT_EQ(outOfOrder, 0);
    int stale = 0;
    for (const std::string& id : ids) {
        const SubmissionJob stored = *store.get(id);
        const SubmissionJob& seen = lastSeen[id];
        if (seen.status != stored.status || seen.progressPercent != stored.progressPercent ||
            seen.documentId != stored.documentId)
            ++stale;
    }
    EXPECT_EQ(stale, 0);
}

// A user cancels while a worker picks the job up: whichever comes first wins,
// and a job whose cancellation was confirmed is never moved on.
TEST(SubmissionStoreConcurrency, ConfirmedCancellationIsNeverOverrun) {
    tavo::test::QuietStderr quiet;  // a log line per job, a WARN line per lost race
    SubmissionStore store;
    const std::vector<std::string> ids = enqueueMany(store);
    std::vector<char> cancelled(ids.size(), 0), picked(ids.size(), 0);
    std::atomic<int> seenCancelled{0};
    store.addListener([&](const SubmissionJob& job) {
        if (job.status == JobStatus::Cancelled) seenCancelled.fetch_add(1);
    });
    std::thread user([&] {
        for (size_t j = 0; j < ids.size(); ++j) cancelled[j] = store.cancel(ids[j]) ? 1 : 0;
    });
    std::thread worker([&] {
        for (size_t j = 0; j < ids.size(); ++j) {
            if (!store.updateStatus(ids[j], JobStatus::Validating, "picked up", 5)) continue;
            picked[j] = 1;
            SubmissionJob result;
            result.status = JobStatus::Failed;
            result.errorMessage = "invalid";
            store.setResult(ids[j], result);
        }
    });
    finishWithin("the user and the worker", [&] {
        user.join();
        worker.join();
    });
    int cancelledCount = 0;
    for (size_t j = 0; j < ids.size(); ++j) {
        SCOPED_TRACE(j);
        const SubmissionJob job = *store.get(ids[j]);
        cancelledCount += cancelled[j];
        ASSERT_EQ(job.status, cancelled[j] ? JobStatus::Cancelled : JobStatus::Failed);
        ASSERT_EQ(job.errorMessage, cancelled[j] ? "" : "invalid");
        ASSERT_NE(picked[j], cancelled[j]);
    }
    EXPECT_EQ(seenCancelled.load(), cancelledCount);
}

// A listener on one thread waits for a job that other threads move on, as a
// worker waiting for its turn would. Every call of those threads, on that job
// and on others, must return while the listener still waits; its wait is
// bounded, so a store that made them wait for it lets it run out.
TEST(SubmissionStoreConcurrency, NoCallWaitsForAnotherThreadsListener) {
    tavo::test::QuietStderr quiet;
    SubmissionStore store;
    const std::string waiting = store.enqueue(SubmissionJob{});
    const std::string awaited = store.enqueue(SubmissionJob{});
    const std::string other = store.enqueue(SubmissionJob{});
    std::atomic<bool> listenerWaits{false}, listenerEnded{false}, sawAwaitedDone{false};
    store.addListener([&](const SubmissionJob& job) {
        if (job.id != waiting || job.status != JobStatus::Signing || listenerWaits.exchange(true)) return;
        sawAwaitedDone = waitUntil([&] { return store.get(awaited)->status == JobStatus::Completed; });
        listenerEnded = true;
    });
    std::thread worker([&] { store.updateStatus(waiting, JobStatus::Signing, "", -1); });
    ASSERT_TRUE(waitUntil([&] { return listenerWaits.load(); })) << "the listener never ran";
    finishWithin("the calls made while the listener waits, then the worker", [&] {
        store.enqueue(SubmissionJob{});
        EXPECT_TRUE(store.cancel(other));
        store.updateStatus(awaited, JobStatus::Polling, "", 90);
        store.updateStatus(waiting, JobStatus::Signing, "again", -1);  // the listener's own job
        EXPECT_FALSE(listenerEnded) << "a call waited until the listener gave up";
        SubmissionJob done;
        done.status = JobStatus::Completed;
        store.setResult(awaited, done);  // what the listener waits for
        worker.join();
    });
    EXPECT_TRUE(sawAwaitedDone) << "the listener's wait ran out: setResult waited for it";
}

// A job leaves the store (1000 newer ones follow it) while a thread is still
// delivering its changes, one of them handed over by another thread: that
// change still reaches the listeners, after the one before it.
TEST(SubmissionStoreConcurrency, AJobEvictedDuringItsDeliveryStillReachesTheListeners) {
    tavo::test::QuietStderr quiet;  // a log line per job
    SubmissionStore store;
    const std::string id = store.enqueue(SubmissionJob{});
    std::atomic<bool> blocked{false}, release{false};
    std::mutex seenMutex;
    std::vector<int> seen;  // percents of the job's changes, in arrival order
    store.addListener([&](const SubmissionJob& job) {
        if (job.id != id) return;
        std::unique_lock<std::mutex> lock(seenMutex);
        seen.push_back(job.progressPercent);
        lock.unlock();
        if (job.progressPercent == 10 && !blocked.exchange(true)) waitUntil([&] { return release.load(); });
    });
    std::thread worker([&] { store.updateStatus(id, JobStatus::Signing, "", 10); });
    ASSERT_TRUE(waitUntil([&] { return blocked.load(); })) << "the listener never ran";
    finishWithin("the calls made while the listener waits, then the worker", [&] {
        store.updateStatus(id, JobStatus::Submitting, "", 20);  // handed to the worker
        for (std::size_t i = 0; i < SubmissionStore::kMaxJobs; ++i) store.enqueue(SubmissionJob{});
        release = true;
        worker.join();
    });
    std::lock_guard<std::mutex> lock(seenMutex);
    EXPECT_EQ(seen, (std::vector<int>{10, 20}));
}
