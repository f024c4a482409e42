// Job store under the agent's load: HTTP workers enqueue, read and update jobs
// from 8 threads while another keeps listing the newest 1000. Id generation is
// set against libuuid's uuid_generate_random, the usual way to make such ids.
#include <benchmark/benchmark.h>
#include <uuid/uuid.h>

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
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
BENCHMARK(BM_NewJobId)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_LibuuidGenerateRandom)->Threads(1)->Threads(8)->UseRealTime();

BENCHMARK_MAIN();
