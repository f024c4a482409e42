// gzipDeterministic on 20 MB of Windows-1251 text against zlib's deflate with
// the same settings called directly. Set TAVO_BENCH_WRITE_INPUT to a path to
// get the same bytes for timing `gzip -9 -n` from a shell.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "infrastructure/compression/Gzip.h"

namespace {

constexpr size_t kInputSize = 20 * 1024 * 1024;

// Declaration-like text: words of Cyrillic letters (0xC0..0xFF), numbers,
// separators and line ends, drawn from a skewed vocabulary.
const std::string& input() {
    static const std::string text = [] {
        std::mt19937 rng(1107);
        std::vector<std::string> words(4000);
        for (auto& w : words) {
            size_t len = 2 + rng() % 10;
            for (size_t i = 0; i < len; ++i) w.push_back(static_cast<char>(0xC0 + rng() % 64));
        }
        std::string t;
        t.reserve(kInputSize + 64);
        std::geometric_distribution<size_t> pick(0.002);
        while (t.size() < kInputSize) {
            size_t k = pick(rng) % words.size();
            t += words[k];
            switch (rng() % 8) {
                case 0:
                    t += ';';
                    t += std::to_string(rng() % 1000000);
                    t += ';';
                    break;
                case 1:
                    t += "\r\n";
                    break;
                default:
                    t += ' ';
            }
        }
        t.resize(kInputSize);
        if (const char* path = std::getenv("TAVO_BENCH_WRITE_INPUT")) std::ofstream(path, std::ios::binary) << t;
        return t;
    }();
    return text;
}

void BM_GzipDeterministic(benchmark::State& state) {
    const std::string& in = input();
    size_t outSize = 0;
    for (auto _ : state) {
        auto out = tavo::core::infra::compression::gzipDeterministic(reinterpret_cast<const unsigned char*>(in.data()),
                                                                     in.size());
        outSize = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
    state.counters["ratio"] = static_cast<double>(outSize) / static_cast<double>(in.size());
}

void BM_ZlibDeflateDirect(benchmark::State& state) {
    const std::string& in = input();
    size_t outSize = 0;
    for (auto _ : state) {
        z_stream zs{};
        deflateInit2(&zs, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
        std::vector<unsigned char> out(deflateBound(&zs, in.size()) + 16);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        zs.avail_in = static_cast<uInt>(in.size());
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        if (deflate(&zs, Z_FINISH) != Z_STREAM_END) state.SkipWithError("deflate failed");
        outSize = zs.total_out;
        deflateEnd(&zs);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
    state.counters["ratio"] = static_cast<double>(outSize) / static_cast<double>(in.size());
}

}  // namespace

BENCHMARK(BM_GzipDeterministic)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_ZlibDeflateDirect)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK_MAIN();
