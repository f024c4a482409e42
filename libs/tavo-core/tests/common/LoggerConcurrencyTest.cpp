#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "common/Logger.h"
#include "support/TempDir.h"

// Lines of different threads never interleave, on either output.
TEST(LoggerConcurrency, EightThreadsWriteOnlyWholeLines) {
    tavo::test::TempDir dir;
    auto file = dir / "log.txt";
    tavo::Logger::init(file.string());
    constexpr int kThreads = 8, kLines = 10000;
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                tavo::Logger::info("Worker" + std::to_string(t) + ": line " + std::to_string(i) + " end");
        });
    }
    for (auto& th : threads) th.join();
    std::string err = testing::internal::GetCapturedStderr();

    for (const std::string& text : {tavo::test::readFile(file), err}) {
        std::istringstream in(text);
        std::string line;
        int count = 0;
        while (std::getline(in, line)) {
            ASSERT_EQ(line.find("[INFO ] Worker"), 20u) << line;
            ASSERT_EQ(line.substr(line.size() - 4), " end") << line;
            ++count;
        }
        EXPECT_EQ(count, kThreads * kLines);
    }
}
