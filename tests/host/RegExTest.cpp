#include "host/RegEx.h"

#include "CaseFiles.h"

#include <atomic>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace quillate {
namespace {

using testing::ReadTable;

TEST(RegEx, PatternsAndMasksMatchAsTheTablesSay) {
    for (const auto& row : ReadTable("regex.txt"))
        testing::ExpectOutcome<ERegExError>(row, 3, [&]() -> std::string {
            return RegEx::IsMatch(row.Fields.at(0), row.Fields.at(1), row.Fields.at(2) == "anycase") ? "yes"
                                                                                                     : "no";
        });
    for (const auto& row : ReadTable("masks.txt"))
        testing::ExpectOutcome<ERegExError>(row, 2, [&]() -> std::string {
            return MatchesMask(row.Fields.at(0), row.Fields.at(1)) ? "yes" : "no";
        });
}

TEST(RegEx, BoundedCacheStaysCorrectUnderConcurrentEviction) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &wrong] {
            // More patterns than the cache holds, so threads evict each other's entries while matching.
            for (int i = 0; i < 2000; ++i) {
                int n = (i * 7 + t) % 300;
                std::string pattern = fmt::format("^x{}y$", n);
                if (!RegEx::IsMatch(fmt::format("X{}Y", n), pattern, true) ||
                    RegEx::IsMatch(fmt::format("X{}Y", n), pattern, false))
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(RegEx::CachedPatterns(), RegEx::CacheCapacity);
}

} // namespace
} // namespace quillate
