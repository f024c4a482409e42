// Job store under the agent's load: HTTP workers enqueue, read and update jobs
// from 8 threads while another keeps listing the newest 1000; and 8 threads
// against 1 on the same total work, beside a plain mutex-guarded map. Id generation is
// set against libuuid's uuid_generate_random, the usual way to make such ids.
#include <benchmark/benchmark.h>
#include <uuid/uuid.h>

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "operations/jobs/SubmissionStore.h"

using tavo::jobs::JobStatus;
using tavo::jobs::SubmissionJob;
using tavo::jobs::SubmissionStore;

namespace {

// Every enqueue logs a line; the terminal would dominate the figures.
struct SilenceStderr {
    SilenceStderr() {
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, 2);
            ::close(null);
        }
    }
};
const SilenceStderr silence;

// The shared store with a background lister; set up by thread 0 before the
// timed loop starts (Google Benchmark holds all threads at a barrier there).
struct Shared {
    SubmissionStore store;
    std::vector<std::string> ids;
    std::atomic<bool> stop{false};
    std::thread lister;
    std::atomic<long> listed{0};

    Shared() {
        for (int i = 0; i < 1000; ++i) {
            SubmissionJob job;
            job.declarationDir = "/decl/" + std::to_string(i);
            ids.push_back(store.enqueue(job));
        }
        lister = std::thread([this] {
            while (!stop.load(std::memory_order_relaxed)) listed += static_cast<long>(store.list(1000).size());
        });
    }
    ~Shared() {
        stop = true;
        lister.join();
    }
};
std::unique_ptr<Shared> shared;

void setUp(const benchmark::State& state) {
    if (state.thread_index() == 0) shared = std::make_unique<Shared>();
}
void tearDown(const benchmark::State& state) {
    if (state.thread_index() == 0) shared.reset();
}

void BM_EnqueueWithLister(benchmark::State& state) {
    setUp(state);
    SubmissionJob job;
    job.declarationDir = "/decl/bench";
    job.signerEmail = "signer@example.bg";
    for (auto _ : state) benchmark::DoNotOptimize(shared->store.enqueue(job));
    state.SetItemsProcessed(state.iterations());
    tearDown(state);
}

void BM_GetWithLister(benchmark::State& state) {
    setUp(state);
    size_t i = static_cast<size_t>(state.thread_index()) * 97;
    for (auto _ : state) {
        benchmark::DoNotOptimize(shared->store.get(shared->ids[i % shared->ids.size()]));
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
    tearDown(state);
}

void BM_UpdateStatusWithLister(benchmark::State& state) {
    setUp(state);
    size_t i = static_cast<size_t>(state.thread_index()) * 97;
    const std::string message = "signing";
    for (auto _ : state) {
        shared->store.updateStatus(shared->ids[i % shared->ids.size()], JobStatus::Signing, message,
                                   static_cast<int>(i % 100));
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
    tearDown(state);
}

// 8 threads against 1 on the same total work: every thread makes the same
// calls, so items per second compare directly (time for a fixed number of
// calls is its inverse). The store has one listener that does nothing, so
// each change goes the whole way to it; beside it, in the same run, the
// plainest store one could write: a map and an order under one mutex.
struct PlainMap {
    std::mutex mutex;
    std::unordered_map<std::string, SubmissionJob> jobs;
    std::deque<std::string> order;

    std::string enqueue(SubmissionJob job) {
        job.id = tavo::jobs::newJobId();
        job.status = JobStatus::Queued;
        job.createdAt = std::chrono::system_clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        jobs.insert_or_assign(job.id, job);
        order.push_back(job.id);
        while (order.size() > SubmissionStore::kMaxJobs) {
            jobs.erase(order.front());
            order.pop_front();
        }
        return job.id;
    }

    // The same fields as the store's, and the same copy of the job it hands
    // to listeners.
    SubmissionJob updateStatus(const std::string& id, JobStatus status, const std::string& message, int percent) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = jobs.find(id);
        if (it == jobs.end()) return {};
        SubmissionJob& job = it->second;
        job.status = status;
        if (!message.empty()) job.progressMessage = message;
        if (percent >= 0) job.progressPercent = percent;
        if (job.startedAt == SubmissionJob::TimePoint{}) job.startedAt = std::chrono::system_clock::now();
        return job;
    }
};

struct Contended {
    SubmissionStore store;
    PlainMap plain;
    std::vector<std::string> ids;

    Contended() {
        store.addListener([](const SubmissionJob& job) { benchmark::DoNotOptimize(job.status); });
        for (int i = 0; i < 1000; ++i) {
            SubmissionJob job;
            job.declarationDir = "/decl/" + std::to_string(i);
            ids.push_back(store.enqueue(job));
            plain.jobs[ids.back()] = job;
            plain.order.push_back(ids.back());
        }
    }
};
std::unique_ptr<Contended> contended;

template <class Body>
void contendedRun(benchmark::State& state, Body body) {
    if (state.thread_index() == 0) contended = std::make_unique<Contended>();
    size_t i = static_cast<size_t>(state.thread_index()) * 97;
    for (auto _ : state) body(*contended, i++);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) contended.reset();
}

SubmissionJob benchJob() {
    SubmissionJob job;
    job.declarationDir = "/decl/bench";
    job.signerEmail = "signer@example.bg";
    return job;
}

void BM_StoreEnqueue(benchmark::State& state) {
    const SubmissionJob job = benchJob();
    contendedRun(state, [&](Contended& c, size_t) { benchmark::DoNotOptimize(c.store.enqueue(job)); });
}

void BM_PlainMapEnqueue(benchmark::State& state) {
    const SubmissionJob job = benchJob();
    contendedRun(state, [&](Contended& c, size_t) { benchmark::DoNotOptimize(c.plain.enqueue(job)); });
}

void BM_StoreUpdateStatus(benchmark::State& state) {
    const std::string message = "signing";
    contendedRun(state, [&](Contended& c, size_t i) {
        c.store.updateStatus(c.ids[i % c.ids.size()], JobStatus::Signing, message, static_cast<int>(i % 100));
    });
}

void BM_PlainMapUpdateStatus(benchmark::State& state) {
    const std::string message = "signing";
    contendedRun(state, [&](Contended& c, size_t i) {
        benchmark::DoNotOptimize(
            c.plain.updateStatus(c.ids[i % c.ids.size()], JobStatus::Signing, message, static_cast<int>(i % 100)));
    });
}

void BM_NewJobId(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(tavo::jobs::newJobId());
    state.SetItemsProcessed(state.iterations());
}

// Reference: libuuid's random UUID, unparsed to the same lower-case text.
void BM_LibuuidGenerateRandom(benchmark::State& state) {
    for (auto _ : state) {
        uuid_t raw;
        uuid_generate_random(raw);
        char buf[37];
        uuid_unparse_lower(raw, buf);
        benchmark::DoNotOptimize(std::string(buf, 36));
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_EnqueueWithLister)->Threads(8)->UseRealTime();
BENCHMARK(BM_GetWithLister)->Threads(8)->UseRealTime();
BENCHMARK(BM_UpdateStatusWithLister)->Threads(8)->UseRealTime();
// On a machine shared with other work single runs of the 8-thread figures
// scatter widely: the median of several is the figure.
#define TAVO_CONTENDED(fn) \
    BENCHMARK(fn)->Threads(1)->Threads(8)->UseRealTime()->Repetitions(7)->ReportAggregatesOnly(true)
TAVO_CONTENDED(BM_StoreEnqueue);
TAVO_CONTENDED(BM_PlainMapEnqueue);
TAVO_CONTENDED(BM_StoreUpdateStatus);
TAVO_CONTENDED(BM_PlainMapUpdateStatus);
BENCHMARK(BM_NewJobId)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_LibuuidGenerateRandom)->Threads(1)->Threads(8)->UseRealTime();

BENCHMARK_MAIN();
