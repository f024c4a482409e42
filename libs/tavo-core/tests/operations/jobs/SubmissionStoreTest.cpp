#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "operations/jobs/SubmissionStore.h"
#include "support/LogCapture.h"
#include "support/UuidCheck.h"

using tavo::jobs::JobStatus;
using tavo::jobs::SubmissionJob;
using tavo::jobs::SubmissionStore;
using tavo::test::isUuidV4;

namespace {

constexpr SubmissionJob::TimePoint kZero{};

SubmissionJob jobIn(const std::string& dir, const std::string& id = "") {
    SubmissionJob job;
    job.id = id;
    job.declarationDir = dir;
    return job;
}

std::vector<std::string> idsOf(const std::vector<SubmissionJob>& jobs) {
    std::vector<std::string> ids;
    for (const auto& job : jobs) ids.push_back(job.id);
    return ids;
}

}  // namespace

TEST(JobStatus, WireNames) {
    struct Case {
        uint32_t code;
        const char* name;
    };
    for (const Case& c : {Case{0, "queued"},
                          {1, "validating"},
                          {2, "signing"},
                          {3, "submitting"},
                          {4, "polling"},
                          {5, "completed"},
                          {6, "failed"},
                          {7, "cancelled"},
                          {8, "unknown"},
                          {0xFFFFFFFFu, "unknown"}}) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(tavo::jobs::toString(static_cast<JobStatus>(c.code)), c.name);
    }
}

TEST(SubmissionStore, GeneratedIdsAreDistinctVersion4Uuids) {
    SubmissionStore store;
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        std::string id = store.enqueue(jobIn("/d"));
        ASSERT_TRUE(isUuidV4(id)) << id;
        ASSERT_TRUE(seen.insert(id).second) << "repeated id " << id;
    }
}

TEST(SubmissionStore, IdCheckerRejectsNearMisses) {
    EXPECT_TRUE(isUuidV4("0123abcd-ef01-4def-8abc-0123456789ab"));
    for (const char* bad : {"0123abcd-ef01-3def-8abc-0123456789ab", "0123abcd-ef01-4def-cabc-0123456789ab",
                            "0123ABCD-ef01-4def-8abc-0123456789ab", "0123abcd-ef01-4def-8abc-0123456789a",
                            "0123abcd0ef01-4def-8abc-0123456789ab", "0123abcd-ef01-4def-8abc-0123456789abc"}) {
        EXPECT_FALSE(isUuidV4(bad)) << bad;
    }
}

TEST(SubmissionStore, GeneratedIdsUseEveryVariantDigit) {
    // Position 19 carries the variant: all four of 8, 9, a, b must turn up.
    std::set<char> variants;
    for (int i = 0; i < 400; ++i) variants.insert(tavo::jobs::newJobId()[19]);
    EXPECT_EQ(variants, (std::set<char>{'8', '9', 'a', 'b'}));
}

TEST(SubmissionStore, EnqueueKeepsGivenIdAndOverwritesStatusAndCreation) {
    SubmissionStore store;
    SubmissionJob job = jobIn("/decl", "my-id");
    job.status = JobStatus::Completed;
    job.createdAt = SubmissionJob::TimePoint(std::chrono::seconds(12345));
    job.signerEmail = "a@b.bg";
    EXPECT_EQ(store.enqueue(job), "my-id");
    auto stored = store.get("my-id");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->status, JobStatus::Queued);
    // The time of the enqueue replaces the given one (from 1970), whatever the
    // wall clock does meanwhile.
    EXPECT_GT(stored->createdAt, job.createdAt + std::chrono::hours(24 * 365 * 40));
    EXPECT_EQ(stored->signerEmail, "a@b.bg");
    EXPECT_EQ(stored->startedAt, kZero);
    EXPECT_EQ(stored->completedAt, kZero);
}

TEST(SubmissionStore, DefaultJobIsEmpty) {
    SubmissionJob job;
    EXPECT_TRUE(job.id.empty());
    EXPECT_EQ(job.status, JobStatus::Queued);
    EXPECT_EQ(job.progressPercent, 0);
    EXPECT_EQ(job.createdAt, kZero);
    EXPECT_TRUE(job.validationErrors.empty());
}

TEST(SubmissionStore, ThousandAndFirstEnqueueEvictsTheFirst) {
    SubmissionStore store;
    std::vector<std::string> ids;
    for (int i = 0; i < 1001; ++i) ids.push_back(store.enqueue(jobIn("/d" + std::to_string(i))));
    EXPECT_FALSE(store.get(ids[0]));
    EXPECT_TRUE(store.get(ids[1]));
    auto listed = store.list(2000);
    ASSERT_EQ(listed.size(), 1000u);
    std::vector<std::string> newestFirst(ids.rbegin(), ids.rend() - 1);
    EXPECT_EQ(idsOf(listed), newestFirst);
}

TEST(SubmissionStore, ListLimits) {
    SubmissionStore store;
    for (const char* id : {"a", "b", "c"}) store.enqueue(jobIn("/d", id));
    struct Case {
        size_t limit;
        std::vector<std::string> ids;
    };
    for (const Case& c : {Case{0, {}}, {1, {"c"}}, {2, {"c", "b"}}, {3, {"c", "b", "a"}}, {50, {"c", "b", "a"}}}) {
        SCOPED_TRACE(c.limit);
        EXPECT_EQ(idsOf(store.list(c.limit)), c.ids);
    }
}

TEST(SubmissionStore, ReEnqueueOfStoredIdMovesItToNewestPlace) {
    SubmissionStore store;
    store.enqueue(jobIn("/old", "a"));
    std::vector<std::string> others;
    for (int i = 0; i < 999; ++i) others.push_back(store.enqueue(jobIn("/o")));
    store.enqueue(jobIn("/new", "a"));

    auto listed = store.list(2000);
    ASSERT_EQ(listed.size(), 1000u);
    EXPECT_EQ(listed.front().id, "a");
    EXPECT_EQ(listed.front().declarationDir, "/new");
    auto listedIds = idsOf(listed);
    std::set<std::string> unique(listedIds.begin(), listedIds.end());
    EXPECT_EQ(unique.size(), 1000u);

    // The next enqueue evicts the oldest of the others, not the job just stored.
    store.enqueue(jobIn("/o"));
    EXPECT_TRUE(store.get("a"));
    EXPECT_FALSE(store.get(others.front()));
    EXPECT_EQ(store.list(2000).size(), 1000u);
}

TEST(SubmissionStore, CancelOnlyQueuedJobs) {
    struct Case {
        const char* name;
        std::optional<JobStatus> statusBefore;  // none: the id is not stored
        bool cancelled;
    };
    for (const Case& c : {Case{"queued", JobStatus::Queued, true},
                          {"validating", JobStatus::Validating, false},
                          {"already cancelled", JobStatus::Cancelled, false},
                          {"completed", JobStatus::Completed, false},
                          {"unknown id", std::nullopt, false}}) {
        SCOPED_TRACE(c.name);
        SubmissionStore store;
        std::string id = store.enqueue(jobIn("/d"));
        if (c.statusBefore) {
            store.updateStatus(id, *c.statusBefore, "", -1);
        } else {
            id = "missing";
        }
        std::vector<SubmissionJob> seen;
        store.addListener([&](const SubmissionJob& job) { seen.push_back(job); });
        EXPECT_EQ(store.cancel(id), c.cancelled);
        if (c.cancelled) {
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].status, JobStatus::Cancelled);
            EXPECT_NE(seen[0].completedAt, kZero);
            EXPECT_EQ(store.get(id)->status, JobStatus::Cancelled);
        } else {
            EXPECT_TRUE(seen.empty());
            if (c.statusBefore) {
                EXPECT_EQ(store.get(id)->status, *c.statusBefore);
            }
        }
    }
}

TEST(SubmissionStore, UpdateStatusKeepsEmptyMessageNegativePercentAndFirstStart) {
    SubmissionStore store;
    std::string id = store.enqueue(jobIn("/d"));
    store.updateStatus(id, JobStatus::Queued, "waiting", 5);
    store.updateStatus(id, JobStatus::Queued, "", -1);
    auto job = *store.get(id);
    EXPECT_EQ(job.progressMessage, "waiting");
    EXPECT_EQ(job.progressPercent, 5);
    EXPECT_EQ(job.startedAt, kZero);

    store.updateStatus(id, JobStatus::Signing, "signing", 0);
    auto started = store.get(id)->startedAt;
    EXPECT_NE(started, kZero);
    EXPECT_EQ(store.get(id)->progressPercent, 0);

    store.updateStatus(id, JobStatus::Submitting, "", 70);
    store.updateStatus(id, JobStatus::Queued, "", -1);  // no transition rule
    job = *store.get(id);
    EXPECT_EQ(job.startedAt, started);
    EXPECT_EQ(job.status, JobStatus::Queued);
    EXPECT_EQ(job.progressMessage, "signing");
    EXPECT_EQ(job.progressPercent, 70);
    EXPECT_EQ(job.completedAt, kZero);
}

TEST(SubmissionStore, UnknownIdsAreIgnored) {
    SubmissionStore store;
    int calls = 0;
    store.addListener([&](const SubmissionJob&) { ++calls; });
    EXPECT_FALSE(store.updateStatus("nope", JobStatus::Signing, "x", 1));
    EXPECT_FALSE(store.setResult("nope", SubmissionJob{}));
    EXPECT_FALSE(store.get("nope"));
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(store.list(10).empty());
}

TEST(SubmissionStore, SetResultKeepsIdCreationAndStart) {
    SubmissionStore store;
    std::string id = store.enqueue(jobIn("/d"));
    store.updateStatus(id, JobStatus::Signing, "", -1);
    auto before = *store.get(id);

    SubmissionJob result;
    result.id = "other";
    result.createdAt = SubmissionJob::TimePoint(std::chrono::seconds(1));
    result.startedAt = SubmissionJob::TimePoint(std::chrono::seconds(2));
    result.status = JobStatus::Completed;
    result.incomeNumber = "0000123";
    result.documentId = "77";
    result.nativeErrors = {"line 1"};
    result.declarationDir = "/elsewhere";
    store.setResult(id, result);

    auto after = store.get(id);
    ASSERT_TRUE(after);
    EXPECT_FALSE(store.get("other"));
    EXPECT_EQ(after->id, id);
    EXPECT_EQ(after->createdAt, before.createdAt);
    EXPECT_EQ(after->startedAt, before.startedAt);
    EXPECT_NE(after->completedAt, kZero);
    EXPECT_EQ(after->status, JobStatus::Completed);
    EXPECT_EQ(after->incomeNumber, "0000123");
    EXPECT_EQ(after->documentId, "77");
    EXPECT_EQ(after->nativeErrors, std::vector<std::string>{"line 1"});
    EXPECT_EQ(after->declarationDir, "/elsewhere");
}

TEST(SubmissionStore, ListenersRunInOrderAndFailuresAreSwallowed) {
    SubmissionStore store;
    std::vector<std::string> calls;
    store.addListener([&](const SubmissionJob& job) { calls.push_back("first " + std::string(toString(job.status))); });
    store.addListener([&](const SubmissionJob&) {
        calls.push_back("thrower");
        throw std::runtime_error("listener failed");
    });
    store.addListener(nullptr);
    store.addListener([&](const SubmissionJob&) {
        calls.push_back("int thrower");
        throw 42;
    });
    store.addListener([&](const SubmissionJob& job) { calls.push_back("last " + std::string(toString(job.status))); });

    std::string id;
    ASSERT_NO_THROW(id = store.enqueue(jobIn("/d")));
    ASSERT_NO_THROW(store.updateStatus(id, JobStatus::Failed, "", -1));
    EXPECT_EQ(calls, (std::vector<std::string>{"first queued", "thrower", "int thrower", "last queued", "first failed",
                                               "thrower", "int thrower", "last failed"}));
}

TEST(SubmissionStore, ListenerMayCallBackIntoTheStore) {
    SubmissionStore store;
    std::vector<std::string> seen;
    store.addListener([&](const SubmissionJob& job) {
        // Runs without the store's lock: every operation is open to it.
        auto stored = store.get(job.id);
        seen.push_back(std::string(toString(job.status)) + "/" + (stored ? toString(stored->status) : "none") + "/" +
                       std::to_string(store.list(10).size()));
        if (job.status == JobStatus::Queued) store.updateStatus(job.id, JobStatus::Validating, "picked up", 1);
        if (job.status == JobStatus::Validating) store.addListener([](const SubmissionJob&) {});
    });
    std::string id = store.enqueue(jobIn("/d"));
    EXPECT_EQ(seen, (std::vector<std::string>{"queued/queued/1", "validating/validating/1"}));
    EXPECT_EQ(store.get(id)->progressMessage, "picked up");
}

TEST(SubmissionStore, ListenersSeeCopiesNotTheStoredJob) {
    SubmissionStore store;
    store.addListener([](const SubmissionJob& job) { const_cast<SubmissionJob&>(job).errorMessage = "tampered"; });
    std::string id = store.enqueue(jobIn("/d"));
    EXPECT_EQ(store.get(id)->errorMessage, "");
}

TEST(SubmissionStore, EnqueueLogLineEscapesControlCharacters) {
    SubmissionStore store;
    testing::internal::CaptureStderr();
    store.enqueue(jobIn("/tmp/x\n2099-01-01 00:00:00 [ERROR] forged\x1b[2J", "id\r\t1"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(
        err.find("[INFO ] Enqueued job id\\x0D\\x091 dir=/tmp/x\\x0A2099-01-01 00:00:00 [ERROR] forged\\x1B[2J\n"),
        std::string::npos)
        << err;
    EXPECT_EQ(err.find("\n2099"), std::string::npos);
}

TEST(SubmissionStore, CancelledJobStaysCancelled) {
    struct Case {
        JobStatus status;
        bool asResult;  // else as a status change
        const char* warning;
    };
    for (const Case& c : {Case{JobStatus::Validating, false, "was cancelled: change to validating ignored"},
                          Case{JobStatus::Completed, true, "was cancelled: result completed ignored"},
                          Case{JobStatus::Failed, true, "was cancelled: result failed ignored"}}) {
        SCOPED_TRACE(c.warning);
        tavo::test::LogCapture log;
        SubmissionStore store;
        std::string id = store.enqueue(jobIn("/d"));
        ASSERT_TRUE(store.cancel(id));
        const SubmissionJob before = *store.get(id);
        int notified = 0;
        store.addListener([&](const SubmissionJob&) { ++notified; });
        SubmissionJob result;  // a completion without a document id is no filing
        result.status = c.status;
        result.errorMessage = "late";
        EXPECT_FALSE(c.asResult ? store.setResult(id, result) : store.updateStatus(id, c.status, "picked up", 10));
        const SubmissionJob after = *store.get(id);
        EXPECT_EQ(after.status, JobStatus::Cancelled);
        EXPECT_EQ(after.completedAt, before.completedAt);
        EXPECT_EQ(after.startedAt, kZero);
        EXPECT_EQ(after.progressMessage + after.errorMessage, "");
        EXPECT_EQ(notified, 0);
        EXPECT_TRUE(log.contains("[WARN ] Job " + id + " " + c.warning)) << log.text();
    }
}

TEST(SubmissionStore, FilingOfACancelledJobIsRecordedNotHidden) {
    tavo::test::LogCapture log;
    SubmissionStore store;
    std::string id = store.enqueue(jobIn("/d"));
    ASSERT_TRUE(store.cancel(id));
    std::vector<SubmissionJob> seen;
    store.addListener([&](const SubmissionJob& job) { seen.push_back(job); });

    SubmissionJob filed;
    filed.status = JobStatus::Completed;
    filed.documentId = "9001";
    EXPECT_TRUE(store.setResult(id, filed));
    EXPECT_EQ(store.get(id)->status, JobStatus::Completed);
    EXPECT_EQ(store.get(id)->documentId, "9001");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].documentId, "9001");
    EXPECT_TRUE(log.contains("[WARN ] Job " + id +
                             " was cancelled, but its declaration was filed: document id 9001, status completed"))
        << log.text();
}

TEST(SubmissionStore, ChangeMadeByAListenerReachesEveryListenerAfterTheCurrentOne) {
    SubmissionStore store;
    std::vector<std::string> calls;
    store.addListener([&](const SubmissionJob& job) {
        calls.push_back(std::string("first ") + toString(job.status));
        if (job.status == JobStatus::Queued) {
            EXPECT_TRUE(store.updateStatus(job.id, JobStatus::Signing, "", -1));
        }
        if (job.status == JobStatus::Signing) store.cancel(job.id);  // no longer queued: nothing to deliver
    });
    store.addListener(
        [&](const SubmissionJob& job) { calls.push_back(std::string("second ") + toString(job.status)); });
    std::string id = store.enqueue(jobIn("/d"));
    // Delivered at once, the change to signing would reach the second listener
    // before "queued" does, and a listener keeping the latest would say queued.
    EXPECT_EQ(calls, (std::vector<std::string>{"first queued", "second queued", "first signing", "second signing"}));
    EXPECT_EQ(store.get(id)->status, JobStatus::Signing);
}
