// 200 MB of 80-byte lines from a child through the pipe runner, against the
// shell's `cat file | wc -l` over the same file in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "infrastructure/java/PipeRunner.h"
#include "support/TempDir.h"

namespace {

constexpr size_t kLineBytes = 80;
constexpr size_t kLines = (200u << 20) / kLineBytes;

const std::string& dataFile() {
    static tavo::test::TempDir dir("tavo-bench");
    static const std::string path = [] {
        std::string file = (dir / "lines.txt").string();
        std::string line(kLineBytes - 1, 'x');
        line += '\n';
        std::string block;
        for (int i = 0; i < 1024; ++i) block += line;
        std::ofstream out(file, std::ios::binary);
        for (size_t written = 0; written < kLines; written += 1024) out.write(block.data(), block.size());
        return file;
    }();
    return path;
}

struct Timing {
    double seconds = 0;
    int runs = 0;
    double mean() const { return runs ? seconds / runs : 0; }
};
Timing runnerTiming;
Timing shellTiming;

void BM_PipeRunnerLines(benchmark::State& state) {
    const std::string& file = dataFile();
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        tavo::stampit::PipeRunner runner;
        if (!runner.start({"cat", {file}, {}})) state.SkipWithError("cannot start cat");
        size_t lines = 0;
        size_t bytes = 0;
        int code = runner.run(
            [&](const std::string& l) {
                ++lines;
                bytes += l.size();
            },
            [](const std::string&) {});
        runnerTiming.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ++runnerTiming.runs;
        if (code != 0 || lines != kLines || bytes != kLines * (kLineBytes - 1)) state.SkipWithError("wrong lines");
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLines * kLineBytes));
}

void BM_CatPipeWcL(benchmark::State& state) {
    const std::string& file = dataFile();
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        std::string out;
        int code = tavo::test::runCommand("cat '" + file + "' | wc -l", &out, false);
        shellTiming.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ++shellTiming.runs;
        if (code != 0 || std::stoul(out) != kLines) state.SkipWithError("wrong count");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLines * kLineBytes));
}

BENCHMARK(BM_PipeRunnerLines)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_CatPipeWcL)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    dataFile();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (runnerTiming.runs && shellTiming.runs) {
        std::printf("runner %.1f ms, cat | wc -l %.1f ms, ratio %.2fx\n", runnerTiming.mean() * 1e3,
                    shellTiming.mean() * 1e3, runnerTiming.mean() / shellTiming.mean());
    }
    return 0;
}
