// Base64 encode and decode and Cp1251::ToUtf8 on 64 MB. Set
// TAVO_BENCH_WRITE_INPUT to a folder to get the same bytes (raw, encoded,
// Windows-1251 text) for timing base64 and iconv from a shell.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "common/Base64.h"
#include "common/Cp1251.h"

namespace b64 = tavo::core::common::base64;
using tavo::core::common::Cp1251;

namespace {

constexpr size_t kSize = 64 * 1024 * 1024;

void dump(const char* name, const std::string& bytes) {
    if (const char* dir = std::getenv("TAVO_BENCH_WRITE_INPUT"))
        std::ofstream(std::string(dir) + "/" + name, std::ios::binary) << bytes;
}

const std::string& raw() {
    static const std::string bytes = [] {
        std::mt19937_64 rng(102);
        std::string s(kSize, '\0');
        for (size_t i = 0; i < kSize; i += 8) {
            uint64_t v = rng();
            for (size_t k = 0; k < 8; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
        }
        dump("raw.bin", s);
        return s;
    }();
    return bytes;
}

const std::string& encoded() {
    static const std::string text = [] {
        std::string e = b64::encode(reinterpret_cast<const unsigned char*>(raw().data()), raw().size());
        dump("raw.b64", e);
        return e;
    }();
    return text;
}

// Mostly Cyrillic letters with blanks, digits and punctuation: a declaration's text.
const std::string& cp1251Text() {
    static const std::string text = [] {
        std::mt19937 rng(1251);
        std::string s(kSize, ' ');
        for (auto& c : s) {
            auto r = rng() % 100;
            if (r < 65)
                c = static_cast<char>(0xC0 + rng() % 64);
            else if (r < 80)
                c = ' ';
            else if (r < 90)
                c = static_cast<char>('0' + rng() % 10);
            else if (r < 97)
                c = static_cast<char>('a' + rng() % 26);
            else
                c = ";.,\n\xb9\xab\xbb"[rng() % 7];
        }
        dump("text.cp1251", s);
        return s;
    }();
    return text;
}

void BM_Base64Encode(benchmark::State& state) {
    const std::string& in = raw();
    for (auto _ : state) {
        std::string out = b64::encode(reinterpret_cast<const unsigned char*>(in.data()), in.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_Base64Decode(benchmark::State& state) {
    const std::string& in = encoded();
    for (auto _ : state) {
        auto out = b64::decode(in);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_Cp1251ToUtf8(benchmark::State& state) {
    const std::string& in = cp1251Text();
    for (auto _ : state) {
        std::string out = Cp1251::ToUtf8(in);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

}  // namespace

BENCHMARK(BM_Base64Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Cp1251ToUtf8)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
