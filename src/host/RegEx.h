// Regular-expression and file-mask matching for exclusion lists, waits and script steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace quillate {

// A pattern that does not compile, or a match that hit a resource limit.
class ERegExError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RegEx {
public:
    // Compiled patterns are kept, most recently used first, up to this many.
    static constexpr std::size_t CacheCapacity = 128;
    // Backtracking budget per match: a hostile pattern fails with ERegExError instead of hanging.
    static constexpr std::uint32_t MatchLimit = 1'000'000;
    static constexpr std::uint32_t DepthLimit = 100'000;
    static constexpr std::uint32_t HeapLimitKiB = 64 * 1024;

    // True when the pattern (PCRE2, UTF-8) matches somewhere in the text. Text that is not valid
    // UTF-8 (such as a raw name from a server) is still searched; invalid sequences simply never match.
    static bool IsMatch(std::string_view text, std::string_view pattern, bool caseInsensitive = false);

    // How many compiled patterns the cache holds now.
    static std::size_t CachedPatterns();
};

// File-mask match with '*' and '?', case-insensitive; every other character, '[' and '\' included,
// stands for itself. '*' crosses path delimiters, so a mask can be matched against a relative path.
bool MatchesMask(std::string_view name, std::string_view mask);

} // namespace quillate
