#include "net/FTPReplyText.h"

#include "net/TextUtil.h"

#include <arpa/inet.h>
#include <fmt/format.h>

#include <array>
#include <cstring>

namespace zr::net {

std::optional<std::string> ParseQuotedPath(std::string_view text) {
    std::size_t open = text.find('"');
    if (open == std::string_view::npos) {
        std::string_view t = TrimView(text);
        std::string_view word = t.substr(0, t.find(' '));
        if (word.empty())
            return std::nullopt;
        return std::string(word);
    }
    std::string path;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] != '"') {
            path += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '"') {
            path += '"';
            ++i;
            continue;
        }
        return path;
    }
    return std::nullopt; // no closing quote
}

std::optional<TPassiveAddress> ParsePasvReply(std::string_view text) {
    // The six numbers are the first run of "d,d,d,d,d,d" in the text.
    for (std::size_t start = 0; start < text.size(); ++start) {
        if (!IsAsciiDigit(text[start]) || (start > 0 && IsAsciiDigit(text[start - 1])))
            continue;
        std::array<unsigned, 6> n{};
        std::size_t pos = start;
        bool ok = true;
        for (std::size_t k = 0; k < 6 && ok; ++k) {
            std::size_t begin = pos;
            while (pos < text.size() && IsAsciiDigit(text[pos]) && pos - begin < 4)
                ++pos;
            auto v = ParseUnsigned(text.substr(begin, pos - begin), 255);
            if (!v) {
                ok = false;
                break;
            }
            n[k] = static_cast<unsigned>(*v);
            if (k < 5) {
                if (pos >= text.size() || text[pos] != ',')
                    ok = false;
                else
                    ++pos;
            }
        }
        if (!ok || (pos < text.size() && IsAsciiDigit(text[pos])))
            continue;
        TPassiveAddress result;
        result.Address = fmt::format("{}.{}.{}.{}", n[0], n[1], n[2], n[3]);
        result.Port = static_cast<std::uint16_t>(n[4] * 256 + n[5]);
        if (result.Port == 0)
            return std::nullopt;
        return result;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> ParseEpsvReply(std::string_view text) {
    std::size_t open = text.find('(');
    if (open == std::string_view::npos || open + 4 >= text.size())
        return std::nullopt;
    char delim = text[open + 1];
    if (delim < 33 || delim > 126 || IsAsciiDigit(delim))
        return std::nullopt;
    if (text[open + 2] != delim || text[open + 3] != delim)
        return std::nullopt;
    std::size_t begin = open + 4;
    std::size_t end = text.find(delim, begin);
    if (end == std::string_view::npos || end + 1 >= text.size() || text[end + 1] != ')')
        return std::nullopt;
    auto port = ParseUnsigned(text.substr(begin, end - begin), 65535);
    if (!port || *port == 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(*port);
}

std::optional<std::chrono::system_clock::time_point> ParseFTPTimestamp(std::string_view text) {
    text = TrimView(text);
    if (text.size() < 14)
        return std::nullopt;
    auto field = [&](std::size_t pos, std::size_t len) { return ParseUnsigned(text.substr(pos, len)); };
    auto year = field(0, 4), month = field(4, 2), day = field(6, 2);
    auto hour = field(8, 2), minute = field(10, 2), second = field(12, 2);
    if (!year || !month || !day || !hour || !minute || !second)
        return std::nullopt;
    if (*year < 1900 || *month < 1 || *month > 12 || *hour > 23 || *minute > 59 || *second > 60)
        return std::nullopt;
    using namespace std::chrono;
    year_month_day date{std::chrono::year(static_cast<int>(*year)), std::chrono::month(static_cast<unsigned>(*month)),
                        std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok()) // 31 February is not a date the server meant
        return std::nullopt;
    nanoseconds fraction{0};
    std::string_view rest = text.substr(14);
    if (!rest.empty()) {
        if (rest.front() != '.' || rest.size() < 2 || rest.size() > 10)
            return std::nullopt;
        auto digits = ParseUnsigned(rest.substr(1));
        if (!digits)
            return std::nullopt;
        fraction = nanoseconds(static_cast<std::int64_t>(*digits));
        for (std::size_t i = rest.size() - 1; i < 9; ++i)
            fraction *= 10;
    }
    return system_clock::time_point(duration_cast<system_clock::duration>(
        sys_days(date).time_since_epoch() + hours(static_cast<long>(*hour)) +
        minutes(static_cast<long>(*minute)) + seconds(static_cast<long>(*second)) + fraction));
}

std::string FormatFTPTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    auto secs = floor<seconds>(when);
    auto days = floor<std::chrono::days>(secs);
    year_month_day date(days);
    hh_mm_ss clock(secs - days);
    return fmt::format("{:04}{:02}{:02}{:02}{:02}{:02}", static_cast<int>(date.year()),
                       static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), clock.hours().count(),
                       clock.minutes().count(), clock.seconds().count());
}

std::vector<std::string> ParseFeatures(const TReply& reply) {
    std::vector<std::string> features;
    if (reply.Code != 211)
        return features;
    for (std::size_t i = 1; i + 1 < reply.Lines.size(); ++i) {
        std::string_view line = TrimView(reply.Lines[i]);
        // Some servers prefix every line with the code, as SMTP does.
        if (line.size() > 4 && ReplyCodeOf(line) == 211)
            line = TrimView(line.substr(4));
        if (!line.empty())
            features.emplace_back(line);
    }
    return features;
}

bool HasFeature(const std::vector<std::string>& features, std::string_view name) {
    for (const auto& f : features) {
        std::string_view word = std::string_view(f).substr(0, f.find(' '));
        if (EqualsNoCase(word, name))
            return true;
    }
    return false;
}

std::optional<std::uint32_t> ParseXCRCReply(const TReply& reply) {
    std::string finalLine = reply.FinalLineText();
    std::string_view text = TrimView(finalLine);
    std::size_t blank = text.find_last_of(' ');
    std::string_view word = blank == std::string_view::npos ? text : text.substr(blank + 1);
    if (word.starts_with("0x") || word.starts_with("0X"))
        word.remove_prefix(2);
    if (word.empty() || word.size() > 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : word) {
        char l = AsciiLower(c);
        unsigned digit;
        if (IsAsciiDigit(l))
            digit = static_cast<unsigned>(l - '0');
        else if (l >= 'a' && l <= 'f')
            digit = static_cast<unsigned>(l - 'a' + 10);
        else
            return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

std::optional<std::int64_t> ParseSizeReply(std::string_view text) {
    text = TrimView(text);
    return ParseSize(text.substr(0, text.find(' ')));
}

std::optional<std::int64_t> ParseTransferSize(std::string_view text) {
    std::size_t close = text.rfind(" bytes)");
    if (close == std::string_view::npos)
        return std::nullopt;
    std::size_t open = text.rfind('(', close);
    if (open == std::string_view::npos)
        return std::nullopt;
    return ParseSize(text.substr(open + 1, close - open - 1));
}

} // namespace zr::net
