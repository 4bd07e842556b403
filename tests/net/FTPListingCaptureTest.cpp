// Listings captured from real FTP servers (tests/data/listings, README.txt there says how), parsed in
// chunks and checked item by item against the folder the servers listed.
#include "net/FTPListParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

using namespace zr::net;
using TTime = std::chrono::system_clock::time_point;

namespace {

constexpr auto File = TFTPItemType::ditFile;
constexpr auto Dir = TFTPItemType::ditDirectory;
constexpr auto Link = TFTPItemType::ditSymbolicLink;
constexpr auto Other = TFTPItemType::ditOther;

struct TStamp {
    int Year, Month, Day, Hour, Minute;
};

struct TEntry {
    std::string Name;
    TFTPItemType Type;
    std::int64_t Size;
    TStamp Modified; // UTC; the servers ran with TZ=UTC
    std::string Target;
};

// The listed folder, as README.txt describes it.
const std::vector<TEntry> Fixture = {
    {" leading blank.txt", File, 6, {2026, 9, 1, 0, 0}, ""},
    {"a b  c.txt", File, 7, {2026, 11, 30, 23, 59}, ""},
    {"big.bin", File, 5368709120, {2026, 12, 1, 13, 14}, ""},
    {"empty", Dir, 4096, {2025, 2, 3, 4, 5}, ""},
    {"future-2040.txt", File, 12, {2040, 3, 4, 5, 6}, ""},
    {"grüße-日本.txt", File, 10, {2026, 7, 4, 16, 20}, ""},
    {"link-to-plain", Link, 9, {2026, 11, 11, 11, 11}, "plain.txt"},
    {"nulldev", Other, 0, {2024, 1, 2, 3, 4}, ""},
    {"old-1960.txt", File, 9, {1960, 7, 1, 12, 0}, ""},
    {"old-2019.txt", File, 11, {2019, 5, 17, 23, 59}, ""},
    {"pipe", Other, 0, {2026, 10, 31, 22, 30}, ""},
    {"plain.txt", File, 13, {2026, 10, 20, 8, 15}, ""},
    {"sub", Dir, 4096, {2026, 8, 8, 8, 8}, ""},
};

// All captures were taken within a few minutes before this.
constexpr TStamp Captured{2026, 12, 5, 20, 53};

std::time_t UnixOf(const TStamp& s) {
    std::tm t{};
    t.tm_year = s.Year - 1900;
    t.tm_mon = s.Month - 1;
    t.tm_mday = s.Day;
    t.tm_hour = s.Hour;
    t.tm_min = s.Minute;
    return timegm(&t);
}

enum class TDates {
    dsLsPast,  // "Mon dd hh:mm" for the six months up to now, else "Mon dd  yyyy" (vsftpd, BusyBox)
    dsLsNewer, // the clock form for anything newer than six months ago, future dates too
    dsFull,    // day and minute on every line (MS-DOS style)
    dsUtc,     // MLSD: UTC to the second
};

TTime Expected(const TStamp& s, TDates dates) {
    // A date without a zone is the server's wall clock, taken as ours.
    auto wall = [](const TStamp& w) {
        std::tm t{};
        t.tm_year = w.Year - 1900;
        t.tm_mon = w.Month - 1;
        t.tm_mday = w.Day;
        t.tm_hour = w.Hour;
        t.tm_min = w.Minute;
        t.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&t));
    };
    std::time_t when = UnixOf(s), now = UnixOf(Captured);
    bool newer = now - when < 183 * 86400;
    switch (dates) {
    case TDates::dsLsPast:
        return newer && when <= now ? wall(s) : wall({s.Year, s.Month, s.Day, 0, 0});
    case TDates::dsLsNewer:
        return newer ? wall(s) : wall({s.Year, s.Month, s.Day, 0, 0});
    case TDates::dsFull:
        return wall(s);
    case TDates::dsUtc:
        break;
    }
    return std::chrono::system_clock::from_time_t(when);
}

struct TCapture {
    const char* File;
    TFTPListFormat Format;
    TDates Dates;
    std::vector<std::string> Missing; // fixture entries the server leaves out
    std::vector<TEntry> Shown;        // entries the server shows otherwise than they are
};

void PrintTo(const TCapture& c, std::ostream* os) {
    *os << c.File;
}

// "Mar  4 05:06" without a year: the listing can only mean the nearest March 4, next year's.
const TEntry FutureWithoutYear{"future-2040.txt", File, 12, {2027, 3, 4, 5, 6}, ""};

const TCapture Captures[] = {
    {"vsftpd-list.txt", TFTPListFormat::lfDetect, TDates::dsLsPast, {}, {}},
    // busybox ls prints characters past U+02FF as '?'.
    {"busybox-list.txt", TFTPListFormat::lfDetect, TDates::dsLsPast, {"grüße-日本.txt"},
     {{"grüße-??.txt", File, 10, {2026, 7, 4, 16, 20}, ""}}},
    {"inetutils-ftpd-list.txt", TFTPListFormat::lfDetect, TDates::dsLsNewer, {}, {FutureWithoutYear}},
    {"proftpd-list.txt", TFTPListFormat::lfDetect, TDates::dsLsNewer, {}, {FutureWithoutYear}},
    {"pure-ftpd-list.txt", TFTPListFormat::lfDetect, TDates::dsLsNewer, {"pipe", "nulldev"},
     {FutureWithoutYear}},
    {"pyftpdlib-list.txt", TFTPListFormat::lfDetect, TDates::dsLsNewer, {}, {FutureWithoutYear}},
    {"proftpd-mlsd.txt", TFTPListFormat::lfMLSD, TDates::dsUtc, {},
     {{"empty", Dir, -1, {2025, 2, 3, 4, 5}, ""},
      {"sub", Dir, -1, {2026, 8, 8, 8, 8}, ""},
      {"link-to-plain", Link, 9, {2026, 11, 11, 11, 11}, ""},
      {"nulldev", File, 0, {2024, 1, 2, 3, 4}, ""},
      {"pipe", File, 0, {2026, 10, 31, 22, 30}, ""}}},
    // "type=OS.unix=slink:" with the target left empty.
    {"pure-ftpd-mlsd.txt", TFTPListFormat::lfMLSD, TDates::dsUtc, {},
     {{"link-to-plain", Link, 9, {2026, 11, 11, 11, 11}, ""}}},
    // pyftpdlib follows the link and calls the fifo and the device files.
    {"pyftpdlib-mlsd.txt", TFTPListFormat::lfMLSD, TDates::dsUtc, {},
     {{"link-to-plain", File, 13, {2026, 10, 20, 8, 15}, ""},
      {"nulldev", File, 0, {2024, 1, 2, 3, 4}, ""},
      {"pipe", File, 0, {2026, 10, 31, 22, 30}, ""}}},
    // Written by hand; Windows has no links or pipes and two-digit years cannot hold 1960.
    {"iis-handwritten-list.txt", TFTPListFormat::lfDetect, TDates::dsFull,
     {"link-to-plain", "nulldev", "old-1960.txt", "pipe"},
     {{"empty", Dir, -1, {2025, 2, 3, 4, 5}, ""}, {"sub", Dir, -1, {2026, 8, 8, 8, 8}, ""}}},
};

std::vector<TEntry> ExpectedEntries(const TCapture& c) {
    std::vector<TEntry> entries;
    for (const auto& e : Fixture)
        if (std::find(c.Missing.begin(), c.Missing.end(), e.Name) == c.Missing.end())
            entries.push_back(e);
    for (const auto& shown : c.Shown) {
        auto same = std::find_if(entries.begin(), entries.end(),
                                 [&](const TEntry& e) { return e.Name == shown.Name; });
        if (same != entries.end())
            *same = shown;
        else
            entries.push_back(shown);
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.Name < b.Name; });
    return entries;
}

std::string ReadCapture(const std::string& name) {
    std::ifstream in(std::string(QUILLATE_TEST_DATA_DIR) + "/listings/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CapturedListing : public ::testing::TestWithParam<TCapture> {};

TEST_P(CapturedListing, GivesEveryEntryAsTheServerShowsIt) {
    const auto& c = GetParam();
    std::string text = ReadCapture(c.File);
    ASSERT_FALSE(text.empty()) << c.File;
    auto expected = ExpectedEntries(c);
    for (std::size_t chunk : std::vector<std::size_t>{1, 2, 7, 100, text.size()}) {
        SCOPED_TRACE(std::string(c.File) + ", chunks of " + std::to_string(chunk));
        TFTPListingParser parser(c.Format, UnixOf(Captured));
        for (std::size_t pos = 0; pos < text.size(); pos += chunk)
            parser.Feed(std::string_view(text).substr(pos, chunk));
        parser.Finish();
        auto items = parser.Items();
        std::sort(items.begin(), items.end(),
                  [](const auto& a, const auto& b) { return a.FileName < b.FileName; });
        std::vector<std::string> names, expectedNames;
        for (const auto& item : items)
            names.push_back(item.FileName);
        for (const auto& e : expected)
            expectedNames.push_back(e.Name);
        ASSERT_EQ(names, expectedNames);
        for (std::size_t i = 0; i < items.size(); ++i) {
            SCOPED_TRACE(expected[i].Name);
            EXPECT_EQ(items[i].ItemType, expected[i].Type);
            EXPECT_EQ(items[i].Size, expected[i].Size);
            EXPECT_EQ(items[i].ModifiedDate, Expected(expected[i].Modified, c.Dates));
            EXPECT_EQ(items[i].LinkTarget, expected[i].Target);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, CapturedListing, ::testing::ValuesIn(Captures), [](const auto& info) {
    std::string name = info.param.File;
    name = name.substr(0, name.find('.'));
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

} // namespace
