#define PCRE2_CODE_UNIT_WIDTH 8
#include "host/RegEx.h"

#include <fmt/format.h>
#include <fnmatch.h>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <pcre2.h>
#include <string>
#include <unordered_map>
#include <utility>

namespace quillate {

namespace {

using TCode = std::shared_ptr<const pcre2_code>;

std::string PcreErrorText(int code) {
    PCRE2_UCHAR buffer[256];
    if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0)
        return fmt::format("PCRE2 error {}", code);
    return reinterpret_cast<const char*>(buffer);
}

// Least recently used patterns leave first; entries are shared so an evicted pattern stays valid for
// a match still running on another thread.
class TPatternCache {
public:
    TCode Get(std::string_view pattern, bool caseInsensitive) {
        std::string key;
        key.reserve(pattern.size() + 1);
        key += caseInsensitive ? 'i' : 's';
        key += pattern;
        {
            std::lock_guard lock(FMutex);
            if (auto it = FIndex.find(key); it != FIndex.end()) {
                FOrder.splice(FOrder.begin(), FOrder, it->second);
                return it->second->second;
            }
        }
        TCode code = Compile(pattern, caseInsensitive);
        std::lock_guard lock(FMutex);
        if (auto it = FIndex.find(key); it != FIndex.end())
            return it->second->second;
        FOrder.emplace_front(key, code);
        FIndex.emplace(std::move(key), FOrder.begin());
        if (FOrder.size() > RegEx::CacheCapacity) {
            FIndex.erase(FOrder.back().first);
            FOrder.pop_back();
        }
        return code;
    }

    std::size_t Size() {
        std::lock_guard lock(FMutex);
        return FOrder.size();
    }

private:
    static TCode Compile(std::string_view pattern, bool caseInsensitive) {
        std::uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
        if (caseInsensitive)
            options |= PCRE2_CASELESS;
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                         options, &error, &offset, nullptr);
        if (!code)
            throw ERegExError(fmt::format("invalid regular expression \"{}\" at offset {}: {}", pattern,
                                          offset, PcreErrorText(error)));
        return TCode(code, [](const pcre2_code* c) { pcre2_code_free(const_cast<pcre2_code*>(c)); });
    }

    std::mutex FMutex;
    std::list<std::pair<std::string, TCode>> FOrder;
    std::unordered_map<std::string, std::list<std::pair<std::string, TCode>>::iterator> FIndex;
};

TPatternCache& Cache() {
    static TPatternCache cache;
    return cache;
}

// One read-only context shared by every match.
const pcre2_match_context* Limits() {
    static const std::unique_ptr<pcre2_match_context, void (*)(pcre2_match_context*)> context = [] {
        pcre2_match_context* c = pcre2_match_context_create(nullptr);
        if (!c)
            throw std::bad_alloc();
        pcre2_set_match_limit(c, RegEx::MatchLimit);
        pcre2_set_depth_limit(c, RegEx::DepthLimit);
        pcre2_set_heap_limit(c, RegEx::HeapLimitKiB);
        return std::unique_ptr<pcre2_match_context, void (*)(pcre2_match_context*)>(c,
                                                                                    pcre2_match_context_free);
    }();
    return context.get();
}

} // namespace

bool RegEx::IsMatch(std::string_view text, std::string_view pattern, bool caseInsensitive) {
    TCode code = Cache().Get(pattern, caseInsensitive);
    std::unique_ptr<pcre2_match_data, void (*)(pcre2_match_data*)> data(pcre2_match_data_create(1, nullptr),
                                                                        pcre2_match_data_free);
    if (!data)
        throw std::bad_alloc();
    int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, data.get(),
                         const_cast<pcre2_match_context*>(Limits()));
    if (rc >= 0)
        return true;
    if (rc == PCRE2_ERROR_NOMATCH)
        return false;
    throw ERegExError(fmt::format("regular expression \"{}\" failed: {}", pattern, PcreErrorText(rc)));
}

std::size_t RegEx::CachedPatterns() {
    return Cache().Size();
}

bool MatchesMask(std::string_view name, std::string_view mask) {
    // fnmatch would read '[' as a bracket expression; "[[]" is a literal '['.
    std::string pattern;
    pattern.reserve(mask.size());
    for (char c : mask) {
        if (c == '[')
            pattern += "[[]";
        else
            pattern += c;
    }
    const std::string subject(name);
    constexpr int flags = FNM_NOESCAPE | FNM_CASEFOLD;
    if (::fnmatch(pattern.c_str(), subject.c_str(), flags) == 0)
        return true;
    // Windows convention: a trailing ".*" also matches no extension at all, so "*.*" matches "README".
    if (pattern.size() >= 2 && pattern.ends_with(".*")) {
        pattern.resize(pattern.size() - 2);
        return ::fnmatch(pattern.c_str(), subject.c_str(), flags) == 0;
    }
    return false;
}

} // namespace quillate
