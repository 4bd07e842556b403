// The parsers of what FTP replies carry, on the cases of tests/data/net/reply-text.json, and the
// way their times reach the actions.
#include "net/FTPReplyText.h"

#include "NetTestData.h"
#include "host/DateTime.h"

#include <fmt/format.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>

using namespace zr::net;
using namespace quillate::testing;
using namespace std::chrono;

namespace {

template <class T> json OrNull(const std::optional<T>& value) {
    return value ? json(*value) : json();
}

TReply Reply(const json& codeAndLines) {
    return TReply{codeAndLines[0], codeAndLines[1], {}};
}

// Each function with its argument and result as the data file writes them.
const std::map<std::string, std::function<json(const json&)>> Functions{
    {"ParseQuotedPath", [](const json& in) { return OrNull(ParseQuotedPath(in.get<std::string>())); }},
    {"ParsePasvReply",
     [](const json& in) {
         auto address = ParsePasvReply(in.get<std::string>());
         return address ? json{address->Address, address->Port} : json();
     }},
    {"ParseEpsvReply", [](const json& in) { return OrNull(ParseEpsvReply(in.get<std::string>())); }},
    {"ParseFTPTimestamp",
     [](const json& in) {
         auto when = ParseFTPTimestamp(in.get<std::string>());
         return when ? json(Stamp(*when, true)) : json();
     }},
    {"FormatFTPTimestamp",
     [](const json& in) {
         return json(FormatFTPTimestamp(system_clock::from_time_t(in[0]) + milliseconds(in[1].get<int>())));
     }},
    {"ParseFeatures", [](const json& in) { return json(ParseFeatures(Reply(in))); }},
    {"HasFeature", [](const json& in) { return json(HasFeature(in[0], in[1].get<std::string>())); }},
    {"ParseXCRCReply",
     [](const json& in) {
         auto crc = ParseXCRCReply(Reply(in));
         return crc ? json(fmt::format("{:08X}", *crc)) : json();
     }},
    {"ParseSizeReply", [](const json& in) { return OrNull(ParseSizeReply(in.get<std::string>())); }},
    {"ParseTransferSize", [](const json& in) { return OrNull(ParseTransferSize(in.get<std::string>())); }},
};

class ReplyText : public ::testing::TestWithParam<json> {};

TEST_P(ReplyText, GivesTheResultOfEveryCase) {
    const auto& function = Functions.at(GetParam()["function"]);
    for (const auto& c : GetParam()["cases"])
        EXPECT_EQ(function(c[0]), c[1]) << c[0];
}

INSTANTIATE_TEST_SUITE_P(Data, ReplyText, ::testing::ValuesIn(LoadCases("reply-text.json")), CaseName);

// MDTM and MLSD times reach the actions as the local wall clock, and the dates they set go back.
TEST(FTPReplyText, TimesMeetTheActionsOnTheLocalWallClock) {
    TScopedEnvironment zone("TZ", CET);
    auto wall = [](year_month_day date, double seconds) {
        return static_cast<double>((sys_days(date) - sys_days(1899y / 12 / 30)).count()) + seconds / 86400;
    };
    auto winter = *ParseFTPTimestamp("20210115150405.5"), summer = *ParseFTPTimestamp("20210715150405");
    double winterLocal = quillate::TimePointToDateTime(winter),
           summerLocal = quillate::TimePointToDateTime(summer);
    EXPECT_NEAR(winterLocal, wall(2021y / 1 / 15, 16 * 3600 + 4 * 60 + 5.5), 1e-9);
    EXPECT_NEAR(summerLocal, wall(2021y / 7 / 15, 17 * 3600 + 4 * 60 + 5), 1e-9);
    EXPECT_EQ(quillate::DateTimeToTimePoint(winterLocal), winter);
    EXPECT_EQ(quillate::DateTimeToTimePoint(summerLocal), summer);
}

} // namespace
