// Sample lines of every format read here:
//   drwxr-xr-x   2 ftp      ftp          4096 Jan  5 12:34 pub
//   -rw-r--r--   1 ftp      ftp       1048576 Jan  5  2020 file with blanks.bin
//   -rw-r--r--   1 ftp          1234 Jan 05 12:34 no-group.txt
//   lrwxrwxrwx   1 root     root            7 Jan  1  2020 bin -> usr/bin
//   crw-r--r--   1 root     root       1,   3 Jan  1  2020 null
//   -rw-r--r--   1 u        g             10 2021-01-15 15:04 iso-date.txt
//   01-15-21  03:04PM       <DIR>          folder
//   01-15-2021  15:04              1234 file.txt
//   type=file;size=1234;modify=20210115150405;perm=adfrw; file.txt
#include "net/FTPListParser.h"

#include "net/FTPReplyText.h"
#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace zr::net {

namespace {

struct TToken {
    std::size_t Begin;
    std::size_t End;
};

// Blank-separated tokens of the first maxTokens words; positions allow taking the raw rest.
// A fixed array, as this runs for every line of a listing.
class TTokens {
public:
    static constexpr std::size_t Capacity = 12;
    std::size_t size() const { return FCount; }
    const TToken& operator[](std::size_t i) const { return FItems[i]; }
    void push_back(const TToken& token) { FItems[FCount++] = token; }

private:
    std::array<TToken, Capacity> FItems{};
    std::size_t FCount = 0;
};

TTokens Tokenize(std::string_view line, std::size_t maxTokens) {
    TTokens tokens;
    maxTokens = std::min(maxTokens, TTokens::Capacity);
    std::size_t i = 0;
    while (i < line.size() && tokens.size() < maxTokens) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        std::size_t begin = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        tokens.push_back({begin, i});
    }
    return tokens;
}

bool AllDigits(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (!IsAsciiDigit(c))
            return false;
    return true;
}

bool IsLeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr std::array<int, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[static_cast<std::size_t>(month - 1)];
}

bool ValidDate(int year, int month, int day) {
    return year >= 1900 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
           day <= DaysInMonth(year, month);
}

// A listing's date has no zone: it is the server's wall clock, which we take as our own. mktime looks
// the zone up again on every call, and the entries of a listing share few minutes: the last few
// conversions are kept.
std::chrono::system_clock::time_point WallClock(int year, int month, int day, int hour, int minute) {
    struct TConverted {
        std::array<int, 5> Key{};
        std::chrono::system_clock::time_point Value;
    };
    thread_local std::array<TConverted, 4> recent{};
    thread_local std::size_t next = 0;
    const std::array<int, 5> key{year, month, day, hour, minute};
    for (const auto& converted : recent)
        if (converted.Key == key)
            return converted.Value;
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_isdst = -1;
    const auto value = std::chrono::system_clock::from_time_t(std::mktime(&local));
    recent[next] = {key, value};
    next = (next + 1) % recent.size();
    return value;
}

int MonthOf(std::string_view token) {
    static constexpr std::array<std::string_view, 12> names{"jan", "feb", "mar", "apr", "may", "jun",
                                                            "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() != 3)
        return 0;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (EqualsNoCase(token, names[i]))
            return static_cast<int>(i) + 1;
    return 0;
}

// "12:34" or "1:05" into hour and minute.
bool ParseClock(std::string_view token, int& hour, int& minute) {
    std::size_t colon = token.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || token.size() != colon + 3)
        return false;
    auto h = ParseUnsigned(token.substr(0, colon), 99);
    auto m = ParseUnsigned(token.substr(colon + 1), 99);
    if (!h || !m || *h > 23 || *m > 59)
        return false;
    hour = static_cast<int>(*h);
    minute = static_cast<int>(*m);
    return true;
}

// The year that puts month/day within about six months of now, either side: servers whose clock
// or zone is ahead show next year's dates this way around New Year, and ProFTPD, Pure-FTPd,
// pyftpdlib and inetutils ftpd print every future date without its year.
int InferYear(int month, int day, int hour, int minute, std::time_t now) {
    auto limit = std::chrono::system_clock::from_time_t(now) + std::chrono::days(183);
    std::tm local{};
    localtime_r(&now, &local);
    int year = local.tm_year + 1900 + 1;
    while ((month == 2 && day == 29 && !IsLeapYear(year)) || WallClock(year, month, day, hour, minute) > limit)
        --year;
    return year;
}

bool IsPermissionText(std::string_view token, TFTPItemType& type) {
    if (token.size() < 10 || token.size() > 11)
        return false;
    switch (token[0]) {
    case '-':
        type = TFTPItemType::ditFile;
        break;
    case 'd':
        type = TFTPItemType::ditDirectory;
        break;
    case 'l':
        type = TFTPItemType::ditSymbolicLink;
        break;
    case 'c':
    case 'b':
    case 'p':
    case 's':
    case 'D':
        type = TFTPItemType::ditOther;
        break;
    default:
        return false;
    }
    for (std::size_t i = 1; i < 10; ++i)
        if (std::string_view("rwxsStTlL-").find(token[i]) == std::string_view::npos)
            return false;
    // ACL, SELinux and extended-attribute markers.
    return token.size() == 10 || token[10] == '+' || token[10] == '.' || token[10] == '@';
}

// Everything after the token that ends the date, one separating blank skipped: names may
// begin with blanks of their own.
std::string_view NameAfter(std::string_view line, const TToken& last) {
    std::size_t pos = last.End;
    if (pos < line.size())
        ++pos;
    return line.substr(pos);
}

std::optional<TFTPListItem> ParseUnixListLine(std::string_view line, std::time_t now) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    auto tokens = Tokenize(line, 12);
    if (tokens.size() < 5)
        return std::nullopt;
    auto tok = [&](std::size_t i) { return line.substr(tokens[i].Begin, tokens[i].End - tokens[i].Begin); };
    TFTPListItem item;
    if (!IsPermissionText(tok(0), item.ItemType))
        return std::nullopt;
    item.Permissions = std::string(tok(0).substr(1, 9));

    // The date is the first "Mon day time-or-year" (or "YYYY-MM-DD HH:MM") triple after at least
    // one owner column and the size; owner and group names may look like anything.
    for (std::size_t m = 2; m + 1 < tokens.size() && m <= 9; ++m) {
        int year = 0, month = 0, day = 0, hour = 0, minute = 0;
        std::size_t lastToken;
        std::string_view first = tok(m);
        if (first.size() == 10 && first[4] == '-' && first[7] == '-') {
            auto y = ParseUnsigned(first.substr(0, 4)), mo = ParseUnsigned(first.substr(5, 2)),
                 d = ParseUnsigned(first.substr(8, 2));
            if (!y || !mo || !d || !ParseClock(tok(m + 1), hour, minute))
                continue;
            year = static_cast<int>(*y);
            month = static_cast<int>(*mo);
            day = static_cast<int>(*d);
            lastToken = m + 1;
        } else {
            if (m + 2 >= tokens.size() || m < 3)
                continue;
            month = MonthOf(first);
            auto d = ParseUnsigned(tok(m + 1), 99);
            if (month == 0 || !d)
                continue;
            day = static_cast<int>(*d);
            std::string_view third = tok(m + 2);
            if (ParseClock(third, hour, minute)) {
                if (day < 1 || day > 31)
                    continue;
                year = InferYear(month, day, hour, minute, now);
            } else if (auto y = ParseUnsigned(third, 9999); y && third.size() == 4) {
                year = static_cast<int>(*y);
            } else {
                continue;
            }
            lastToken = m + 2;
        }
        if (!ValidDate(year, month, day))
            continue;

        std::string_view sizeText = tok(m - 1);
        std::string_view before = m >= 2 ? tok(m - 2) : std::string_view();
        if (item.ItemType == TFTPItemType::ditOther && (before.ends_with(',') || sizeText.find(',') != std::string_view::npos)) {
            item.Size = 0; // "major, minor" of a device
        } else {
            auto size = ParseSize(sizeText);
            if (!size) {
                if (!AllDigits(sizeText)) // a size that overflows still marks the column
                    continue;
                item.Size = -1;
            } else {
                item.Size = *size;
            }
        }
        std::string_view name = NameAfter(line, tokens[lastToken]);
        if (name.empty())
            return std::nullopt;
        if (item.ItemType == TFTPItemType::ditSymbolicLink) {
            std::size_t arrow = name.find(" -> ");
            if (arrow != std::string_view::npos) {
                item.LinkTarget = std::string(name.substr(arrow + 4));
                name = name.substr(0, arrow);
            }
        }
        item.FileName = std::string(name);
        item.ModifiedDate = WallClock(year, month, day, hour, minute);
        return item;
    }
    return std::nullopt;
}

std::optional<TFTPListItem> ParseWindowsListLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    auto tokens = Tokenize(line, 5);
    if (tokens.size() < 4)
        return std::nullopt;
    auto tok = [&](std::size_t i) { return line.substr(tokens[i].Begin, tokens[i].End - tokens[i].Begin); };

    std::string_view date = tok(0);
    if ((date.size() != 8 && date.size() != 10) || (date[2] != '-' && date[2] != '/') || date[5] != date[2])
        return std::nullopt;
    auto mo = ParseUnsigned(date.substr(0, 2)), d = ParseUnsigned(date.substr(3, 2)),
         y = ParseUnsigned(date.substr(6));
    if (!mo || !d || !y)
        return std::nullopt;
    int year = static_cast<int>(*y);
    if (date.size() == 8)
        year += year < 70 ? 2000 : 1900;

    std::string_view clock = tok(1);
    std::size_t next = 2;
    std::string_view suffix;
    if (clock.size() > 2 && (clock.ends_with("AM") || clock.ends_with("PM") || clock.ends_with("am") ||
                             clock.ends_with("pm"))) {
        suffix = clock.substr(clock.size() - 2);
        clock.remove_suffix(2);
    } else if (EqualsNoCase(tok(2), "AM") || EqualsNoCase(tok(2), "PM")) {
        suffix = tok(2);
        next = 3;
        if (tokens.size() < 5)
            return std::nullopt;
    }
    int hour = 0, minute = 0;
    if (!ParseClock(clock, hour, minute))
        return std::nullopt;
    if (!suffix.empty()) {
        if (hour < 1 || hour > 12)
            return std::nullopt;
        bool pm = AsciiLower(suffix[0]) == 'p';
        hour = hour % 12 + (pm ? 12 : 0);
    }
    if (!ValidDate(year, static_cast<int>(*mo), static_cast<int>(*d)))
        return std::nullopt;

    TFTPListItem item;
    std::string_view sizeOrDir = tok(next);
    std::string_view name;
    if (EqualsNoCase(sizeOrDir, "<DIR>")) {
        item.ItemType = TFTPItemType::ditDirectory;
        name = TrimView(line.substr(tokens[next].End)); // IIS pads <DIR> to the name column
    } else {
        std::string digits;
        for (char c : sizeOrDir)
            if (c != ',')
                digits += c;
        auto size = ParseSize(digits);
        if (!size && !AllDigits(digits))
            return std::nullopt;
        item.Size = size ? *size : -1;
        name = NameAfter(line, tokens[next]);
    }
    if (name.empty())
        return std::nullopt;
    item.FileName = std::string(name);
    item.ModifiedDate = WallClock(year, static_cast<int>(*mo), static_cast<int>(*d), hour, minute);
    return item;
}

std::optional<TFTPListItem> ParseMLSDLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return std::nullopt;
    std::string_view facts = line.substr(0, blank);
    std::string_view name = line.substr(blank + 1);
    if (name.empty())
        return std::nullopt;
    TFTPListItem item;
    item.FileName = std::string(name);
    while (!facts.empty()) {
        std::size_t semi = facts.find(';');
        std::string_view fact = facts.substr(0, semi);
        facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
        std::size_t eq = fact.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string_view key = fact.substr(0, eq);
        std::string_view value = fact.substr(eq + 1);
        if (EqualsNoCase(key, "type")) {
            if (EqualsNoCase(value, "cdir") || EqualsNoCase(value, "pdir"))
                return std::nullopt;
            if (EqualsNoCase(value, "file"))
                item.ItemType = TFTPItemType::ditFile;
            else if (EqualsNoCase(value, "dir"))
                item.ItemType = TFTPItemType::ditDirectory;
            else if (value.size() >= 13 && EqualsNoCase(value.substr(0, 13), "OS.unix=slink")) {
                item.ItemType = TFTPItemType::ditSymbolicLink;
                if (value.size() > 14 && value[13] == ':')
                    item.LinkTarget = std::string(value.substr(14));
            } else if (EqualsNoCase(value, "OS.unix=symlink"))
                item.ItemType = TFTPItemType::ditSymbolicLink;
            else
                item.ItemType = TFTPItemType::ditOther;
        } else if (EqualsNoCase(key, "size") || EqualsNoCase(key, "sizd")) {
            if (auto size = ParseSize(value))
                item.Size = *size;
        } else if (EqualsNoCase(key, "modify")) {
            item.ModifiedDate = ParseFTPTimestamp(value);
        } else if (EqualsNoCase(key, "perm")) {
            item.Permissions = std::string(value);
        } else if (EqualsNoCase(key, "unique")) {
            item.Unique = std::string(value);
        }
    }
    return item;
}

} // namespace

std::optional<TFTPListItem> ParseListLine(std::string_view line, TFTPListFormat format, std::time_t now) {
    switch (format) {
    case TFTPListFormat::lfUnix:
        return ParseUnixListLine(line, now);
    case TFTPListFormat::lfWindows:
        return ParseWindowsListLine(line);
    case TFTPListFormat::lfMLSD:
        return ParseMLSDLine(line);
    case TFTPListFormat::lfLines:
        return std::nullopt;
    case TFTPListFormat::lfNames: {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            return std::nullopt;
        TFTPListItem item;
        item.FileName = std::string(line);
        return item;
    }
    case TFTPListFormat::lfDetect:
        break;
    }
    if (auto item = ParseUnixListLine(line, now))
        return item;
    return ParseWindowsListLine(line);
}

std::optional<std::string_view> UnsafeNameReason(std::string_view name) {
    if (name.empty())
        return "it is empty";
    if (name == "." || name == "..")
        return "it names a folder, not an entry";
    for (char c : name) {
        switch (c) {
        case '\r':
            return "it holds a carriage return";
        case '\n':
            return "it holds a line feed";
        case '\0':
            return "it holds a NUL";
        case '/':
            return "it holds a \"/\"";
        default:
            break;
        }
    }
    return std::nullopt;
}

TFTPListingParser::TFTPListingParser(TFTPListFormat format, std::time_t now, TListingLimits limits, bool keepLines)
    : FFormat(format), FNow(now), FLimits(limits), FKeepLines(keepLines) {}

void TFTPListingParser::Feed(std::string_view chunk) {
    FByteCount += chunk.size();
    if (FByteCount > FLimits.MaxBytes)
        throw EProtocolError(fmt::format("listing larger than {} bytes", FLimits.MaxBytes));
    while (!chunk.empty()) {
        std::size_t lf = chunk.find('\n');
        std::string_view piece = lf == std::string_view::npos ? chunk : chunk.substr(0, lf);
        // One byte more for the CR before the line feed.
        if (FLine.size() + piece.size() > FLimits.MaxLineLength + 1)
            throw EProtocolError(fmt::format("listing line longer than {} bytes", FLimits.MaxLineLength));
        FLine.append(piece);
        if (lf == std::string_view::npos)
            return;
        chunk.remove_prefix(lf + 1);
        LineDone();
    }
}

void TFTPListingParser::Finish() {
    if (!FLine.empty())
        LineDone();
}

void TFTPListingParser::LineDone() {
    if (!FLine.empty() && FLine.back() == '\r')
        FLine.pop_back();
    if (FLine.empty())
        return;
    if (++FLineCount > FLimits.MaxLines)
        throw EProtocolError(fmt::format("listing longer than {} lines", FLimits.MaxLines));
    auto item = ParseListLine(FLine, FFormat, FNow);
    if (FKeepLines)
        FLines.push_back(FLine);
    FLine.clear();
    if (!item)
        return;
    if (auto reason = UnsafeNameReason(item->FileName)) {
        // "ls -a" shows the listed folder and its parent; as folders they are no entries of it.
        bool selfOrParent = item->FileName == "." || item->FileName == "..";
        if (selfOrParent && item->ItemType == TFTPItemType::ditDirectory)
            return;
        if (++FRefusedCount <= FLimits.MaxRefusedKept)
            FRefused.push_back({std::move(item->FileName), *reason});
        return;
    }
    FItems.push_back(std::move(*item));
}

} // namespace zr::net
