#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
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
