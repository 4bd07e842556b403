#include "net/SMTPExtensions.h"

#include "net/TextUtil.h"

#include <algorithm>
#include <charconv>

namespace zr::net {

namespace {

// The keyword of an EHLO line and what follows it.
std::pair<std::string_view, std::string_view> SplitExtension(std::string_view line) {
    line = TrimView(line);
    std::size_t end = line.find_first_of(" =");
    if (end == std::string_view::npos)
        return {line, {}};
    return {line.substr(0, end), TrimView(line.substr(end + 1))};
}

} // namespace

std::vector<std::string> EhloExtensions(const TReply& reply) {
    std::vector<std::string> extensions;
    for (std::size_t i = 1; i < reply.Lines.size(); ++i)
        extensions.push_back(reply.Lines[i].size() > 4 ? reply.Lines[i].substr(4) : std::string());
    return extensions;
}

bool OffersExtension(const std::vector<std::string>& extensions, std::string_view keyword) {
    return std::any_of(extensions.begin(), extensions.end(),
                       [&](const std::string& line) { return EqualsNoCase(SplitExtension(line).first, keyword); });
}

std::vector<std::string> AuthMechanismsOf(const std::vector<std::string>& extensions) {
    std::vector<std::string> mechanisms;
    for (const std::string& line : extensions) {
        auto [keyword, rest] = SplitExtension(line);
        if (!EqualsNoCase(keyword, "AUTH"))
            continue;
        while (!rest.empty()) {
            std::size_t end = rest.find(' ');
            std::string_view word = rest.substr(0, end);
            if (std::find_if(mechanisms.begin(), mechanisms.end(),
                             [&](const std::string& m) { return EqualsNoCase(m, word); }) == mechanisms.end())
                mechanisms.emplace_back(word);
            rest = end == std::string_view::npos ? std::string_view() : TrimView(rest.substr(end + 1));
        }
    }
    return mechanisms;
}

std::optional<std::int64_t> MaxMessageSizeOf(const std::vector<std::string>& extensions) {
    for (const std::string& line : extensions) {
        auto [keyword, rest] = SplitExtension(line);
        std::int64_t size = 0;
        if (EqualsNoCase(keyword, "SIZE") && !rest.empty()) {
            auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), size);
            if (ec == std::errc() && end == rest.data() + rest.size() && size > 0)
                return size;
        }
    }
    return std::nullopt;
}

} // namespace zr::net
