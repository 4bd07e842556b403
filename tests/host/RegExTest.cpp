#include "host/RegEx.h"

#include <atomic>
#include <chrono>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace quillate {
namespace {

TEST(RegEx, Matches) {
    // text, pattern, case-insensitive, expected
    const std::tuple<std::string, std::string, bool, bool> cases[] = {
        {"|docs|readme.txt", "readme", false, true},
        {"|docs|readme.txt", "^readme", false, false},
        {"README.TXT", "readme", false, false},
        {"README.TXT", "readme", true, true},
        {"\xC3\x84RGER", "^\xC3\xA4rger$", true, true}, // case folding beyond ASCII
        {"\xE2\x9C\x93x", "^.x$", false, true},         // '.' is one code point, not one byte
        {"name\xFF.txt", "\\.txt$", false, true},       // raw bytes (FTP names) are searched around
        {"\xFF", "^.$", false, false},
        {std::string("a\0b", 3), "a.b", false, true},
    };
    for (const auto& [text, pattern, caseless, expected] : cases)
        EXPECT_EQ(RegEx::IsMatch(text, pattern, caseless), expected) << text << " ~ /" << pattern << "/";
}

TEST(RegEx, BadPatternNamesPatternAndOffset) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc(def", "offset 7"}, {"[z-a]", "offset 3"}, {"x{2,1}", "offset 5"}, {"bad\xFFutf", "offset 3"}};
    for (const auto& [pattern, offset] : cases) {
        try {
            RegEx::IsMatch("text", pattern);
            ADD_FAILURE() << "compiled " << pattern;
        } catch (const ERegExError& e) {
            std::string message = e.what();
            EXPECT_NE(message.find("\"" + pattern + "\" at " + offset), std::string::npos) << message;
        }
    }
}

TEST(RegEx, CatastrophicBacktrackingFailsInsteadOfHanging) {
    auto start = std::chrono::steady_clock::now();
    try {
        RegEx::IsMatch(std::string(40, 'a') + "!", "^(a+)+$");
        ADD_FAILURE() << "the match finished";
    } catch (const ERegExError& e) {
        EXPECT_NE(std::string(e.what()).find("limit"), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
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

TEST(FileMask, Matches) {
    // name, mask, expected
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"A.TXT", "*.txt", true},
        {"a.txt.bak", "*.txt", false},
        {"a.txt", "?.txt", true},
        {"ab.txt", "?.txt", false},
        {".profile", "*", true},
        {"README", "*.*", true}, // the Windows reading of a trailing ".*"
        {"README", "READ*.*", true},
        {"README", "*.txt", false},
        {"a[1].txt", "a[1].txt", true}, // brackets and backslashes are ordinary characters
        {"a1.txt", "a[1].txt", false},
        {"\\tmp\\x.txt", "\\tmp\\*", true},
        {"|tmp|sub|x.txt", "|tmp|*", true}, // '*' crosses delimiters in relative paths
        {"|src|tmp|x.txt", "|tmp|*", false},
    };
    for (const auto& [name, mask, expected] : cases)
        EXPECT_EQ(MatchesMask(name, mask), expected) << name << " ~ " << mask;
}

} // namespace
} // namespace quillate
