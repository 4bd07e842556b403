#include "net/FTPListParser.h"
#include "net/NetErrors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace zr::net;
using TTime = std::optional<std::chrono::system_clock::time_point>;

namespace {

// A LIST date is the server's wall clock, taken as ours.
TTime Wall(int y, int mo, int d, int h = 0, int mi = 0) {
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t));
}

// MLSD dates are UTC.
TTime Utc(std::time_t t, std::chrono::milliseconds fraction = {}) {
    return std::chrono::system_clock::from_time_t(t) + fraction;
}

// "Now" for year inference: 15 March 2021, noon, local time.
std::time_t TestNow() {
    return std::chrono::system_clock::to_time_t(*Wall(2021, 3, 15, 12));
}

struct TLineCase {
    const char* Name;
    TFTPListFormat Format;
    std::string Line;
    std::string FileName;
    TFTPItemType Type;
    std::int64_t Size;
    TTime Date;
    std::string LinkTarget;
};

class ListLineCases : public ::testing::TestWithParam<TLineCase> {};

TEST_P(ListLineCases, ParsesNameTypeSizeDateAndTarget) {
    const auto& c = GetParam();
    auto item = ParseListLine(c.Line, c.Format, TestNow());
    ASSERT_TRUE(item.has_value()) << c.Line;
    EXPECT_EQ(item->FileName, c.FileName);
    EXPECT_EQ(item->ItemType, c.Type);
    EXPECT_EQ(item->Size, c.Size);
    EXPECT_EQ(item->ModifiedDate, c.Date);
    EXPECT_EQ(item->LinkTarget, c.LinkTarget);
}

constexpr auto Unix = TFTPListFormat::lfDetect;
constexpr auto File = TFTPItemType::ditFile;
constexpr auto Dir = TFTPItemType::ditDirectory;
constexpr auto Link = TFTPItemType::ditSymbolicLink;
constexpr auto Other = TFTPItemType::ditOther;

// Lines the captured listings (FTPListingCaptureTest) do not show: year inference around another
// "now", unusual columns, names that look like dates, sizes at the limits, 12 PM, MLSD oddities.
INSTANTIATE_TEST_SUITE_P(
    Lines, ListLineCases,
    ::testing::Values(
        // Without a year: a date more than about six months ahead belongs to last year.
        TLineCase{"last_year", Unix, "-rw-r--r--   1 ftp      ftp             1 Dec 24 18:00 xmas", "xmas", File, 1,
                  Wall(2020, 12, 24, 18, 0), ""},
        TLineCase{"near_future", Unix, "-rw-r--r--   1 ftp      ftp             1 Jun 30 08:00 soon", "soon", File,
                  1, Wall(2021, 6, 30, 8, 0), ""},
        TLineCase{"no_group", Unix, "-rw-r--r--   1 ftp          1234 Jan 05 12:34 no-group.txt", "no-group.txt",
                  File, 1234, Wall(2021, 1, 5, 12, 34), ""},
        TLineCase{"device_compact", Unix, "brw-rw----   1 root     disk     8,0 Jan  1  2020 sda", "sda", Other, 0,
                  Wall(2020, 1, 1), ""},
        TLineCase{"acl_marker", Unix, "drwxr-xr-x+  3 u        g           4096 Oct 10  2018 acl", "acl", Dir, 4096,
                  Wall(2018, 10, 10), ""},
        TLineCase{"owner_named_like_month", Unix, "-rw-r--r--   1 jan      may            42 Aug  8  2008 m",
                  "m", File, 42, Wall(2008, 8, 8), ""},
        TLineCase{"date_in_name", Unix, "-rw-r--r--   1 u        g             42 Aug  8  2008 Jan 1 2000",
                  "Jan 1 2000", File, 42, Wall(2008, 8, 8), ""},
        TLineCase{"iso_dates", Unix, "-rw-r--r--   1 u        g             10 2021-01-15 15:04 iso.txt",
                  "iso.txt", File, 10, Wall(2021, 1, 15, 15, 4), ""},
        TLineCase{"huge_size", Unix, "-rw-r--r--   1 u  g  9223372036854775807 Jan  1  2020 big", "big", File,
                  INT64_MAX, Wall(2020, 1, 1), ""},
        TLineCase{"overflowing_size", Unix, "-rw-r--r--   1 u  g  99999999999999999999999 Jan  1  2020 odd",
                  "odd", File, -1, Wall(2020, 1, 1), ""},
        TLineCase{"crlf", Unix, "-rw-r--r--   1 u        g             10 Jan  1  2020 crlf.txt\r", "crlf.txt",
                  File, 10, Wall(2020, 1, 1), ""},
        TLineCase{"noon", Unix, "02-29-20  12:15PM                    5 leap", "leap", File, 5,
                  Wall(2020, 2, 29, 12, 15), ""},
        TLineCase{"four_digit_24h", Unix, "01-15-2021  15:04              1,234 grouped.txt", "grouped.txt", File,
                  1234, Wall(2021, 1, 15, 15, 4), ""},
        TLineCase{"mlsd_fraction", TFTPListFormat::lfMLSD, "Type=File;Size=5;Modify=20210115150405.5; semi;colon",
                  "semi;colon", File, 5, Utc(1610723045, std::chrono::milliseconds(500)), ""},
        TLineCase{"mlsd_slink", TFTPListFormat::lfMLSD, "type=OS.unix=slink:/etc/target;modify=20200101000000; lnk",
                  "lnk", Link, -1, Utc(1577836800), "/etc/target"},
        TLineCase{"mlsd_no_facts", TFTPListFormat::lfMLSD, " bare", "bare", File, -1, std::nullopt, ""},
        TLineCase{"mlsd_bad_modify", TFTPListFormat::lfMLSD, "type=file;modify=2021013;size=x; f", "f", File, -1,
                  std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.Name); });

class ListLineRejected : public ::testing::TestWithParam<std::pair<TFTPListFormat, std::string>> {};

TEST_P(ListLineRejected, GivesNoItem) {
    EXPECT_FALSE(ParseListLine(GetParam().second, GetParam().first, TestNow()).has_value()) << GetParam().second;
}

INSTANTIATE_TEST_SUITE_P(
    Junk, ListLineRejected,
    ::testing::Values(
        std::pair{Unix, std::string("total 12")}, std::pair{Unix, std::string("")},
        std::pair{Unix, std::string("drwxr-xr-x   2 ftp ftp 4096 Jan  5 12:34")},
        std::pair{Unix, std::string("-rw-r--r--   1 ftp ftp 12 Feb 30  2020 bad-day")},
        std::pair{Unix, std::string("-rw-r--r--   1 ftp ftp 12 Jan  5 25:00 bad-hour")},
        std::pair{Unix, std::string("xrw-r--r--   1 ftp ftp 12 Jan  5  2020 bad-type")},
        std::pair{Unix, std::string("01-15-21  13:04PM       <DIR>          bad-12h")},
        std::pair{Unix, std::string("13-15-21  03:04PM       <DIR>          bad-month")},
        std::pair{TFTPListFormat::lfMLSD, std::string("type=cdir;modify=20200101000000; /home")},
        std::pair{TFTPListFormat::lfMLSD, std::string("type=pdir; ..")},
        std::pair{TFTPListFormat::lfMLSD, std::string("type=file;size=1;")}),
    [](const auto& info) { return "line" + std::to_string(info.index); });

const std::string SampleListing = "total 24\r\n"
                                  "drwxr-xr-x   2 ftp      ftp          4096 Jan  5 12:34 .\r\n"
                                  "drwxr-xr-x   2 ftp      ftp          4096 Jan  5 12:34 ..\r\n"
                                  "drwxr-xr-x   2 ftp      ftp          4096 Jan  5 12:34 pub\r\n"
                                  "-rw-r--r--   1 ftp      ftp        123456 Jan  5  2020 a b.txt\r\n"
                                  "lrwxrwxrwx   1 ftp      ftp             3 Jan  5  2020 l -> pub\r\n"
                                  "01-15-21  03:04PM       <DIR>          win\n"
                                  "-rw-r--r--   1 ftp      ftp             0 Jan  5  2020 no-line-end";

TEST(ListingParser, SplitAtEveryOffsetGivesTheSameResult) {
    TFTPListingParser whole(TFTPListFormat::lfDetect, TestNow());
    whole.Feed(SampleListing);
    whole.Finish();
    ASSERT_EQ(whole.Items().size(), 5u);
    EXPECT_EQ(whole.Lines().size(), 8u);
    EXPECT_EQ(whole.Items()[0].FileName, "pub");
    EXPECT_EQ(whole.Items()[3].FileName, "win");
    EXPECT_EQ(whole.Items()[4].FileName, "no-line-end");
    for (std::size_t cut = 0; cut <= SampleListing.size(); ++cut) {
        for (std::size_t step : {cut, std::size_t{1}}) {
            if (step == 0)
                continue;
            TFTPListingParser split(TFTPListFormat::lfDetect, TestNow());
            for (std::size_t pos = 0; pos < SampleListing.size(); pos += step)
                split.Feed(std::string_view(SampleListing).substr(pos, step));
            split.Finish();
            ASSERT_EQ(split.Items(), whole.Items()) << "cut " << cut << " step " << step;
            ASSERT_EQ(split.Lines(), whole.Lines());
        }
    }
}

TEST(ListingParser, DropsOverlongLinesAndKeepsTheRest) {
    TListingLimits limits;
    limits.MaxLineLength = 200;
    TFTPListingParser parser(TFTPListFormat::lfDetect, TestNow(), limits);
    parser.Feed("-rw-r--r-- 1 u g 1 Jan  5  2020 " + std::string(5000, 'x'));
    parser.Feed("\r\n-rw-r--r-- 1 u g 1 Jan  5  2020 ok\r\n");
    parser.Finish();
    ASSERT_EQ(parser.Items().size(), 1u);
    EXPECT_EQ(parser.Items()[0].FileName, "ok");
    EXPECT_EQ(parser.Lines().size(), 1u);
}

TEST(ListingParser, RefusesEndlessListings) {
    TListingLimits limits;
    limits.MaxLines = 100;
    TFTPListingParser parser(TFTPListFormat::lfNames, TestNow(), limits);
    std::string lines;
    for (int i = 0; i < 100; ++i)
        lines += "name\n";
    parser.Feed(lines);
    EXPECT_THROW(parser.Feed("one more\n"), EProtocolError);
}

} // namespace
