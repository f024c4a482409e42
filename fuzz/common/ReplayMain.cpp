// Runs a fuzz target over every file of the given folders (or files), the way
// CI replays the committed corpora under the sanitizers.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int runFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        std::cerr << "cannot read " << p << "\n";
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    int ran = 0;
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(p)) {
                if (!e.is_regular_file()) continue;
                failed += runFile(e.path());
                ++ran;
            }
        } else {
            failed += runFile(p);
            ++ran;
        }
    }
    std::cout << "replayed " << ran << " inputs\n";
    if (ran == 0) {
        std::cerr << "no corpus inputs found\n";
        return 1;
    }
    return failed == 0 ? 0 : 1;
}
