// The reply and data block parsers on the cases of tests/data/net/replies.json: real answers of FTP,
// SMTP, POP3 and NNTP servers, whole and cut at every byte, and what they refuse.
#include "net/ReplyParser.h"

#include "NetTestData.h"
#include "net/NetErrors.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace zr::net;
using namespace quillate::testing;

namespace {

constexpr TLineLimits Small{100, 50, 2000};

json Unit(const TReply& reply) {
    static const char* const statuses[] = {"positive", "intermediate", "negative"};
    // The final line's text is the last line of the whole text.
    std::string text = reply.Text();
    EXPECT_EQ(reply.FinalLineText(), text.substr(text.rfind('\n') + 1));
    return {{"code", reply.Code},
            {"status", statuses[static_cast<int>(reply.Status())]},
            {"lines", reply.Lines},
            {"text", text}};
}

// Feeds the pieces in turn and collects every complete unit; the bytes after the last are left in rest.
template <class TParser>
json FeedAll(const std::vector<std::string_view>& pieces, TParser parser, std::string& rest) {
    json units = json::array();
    rest.clear();
    for (auto piece : pieces) {
        rest.append(piece);
        for (TLineParser::TProgress progress;;) {
            rest.erase(0, parser.Feed(rest, progress));
            if (progress != TLineParser::TProgress::lpComplete)
                break;
            if constexpr (std::is_same_v<TParser, TDataBlockParser>)
                units.push_back(parser.TakeLines());
            else
                units.push_back(Unit(parser.TakeReply()));
        }
    }
    return units;
}

template <class TParser> void Check(const json& c) {
    const std::string input = Text(c["input"]);
    auto parser = c.value("small", false) ? TParser(Small) : TParser();
    auto splits = Splits(input);
    std::string rest;
    if (c.value("refused", false)) {
        EXPECT_THROW(FeedAll(splits[0], parser, rest), EProtocolError) << "whole";
        EXPECT_THROW(FeedAll(splits[1], parser, rest), EProtocolError) << "byte by byte";
        return;
    }
    for (const auto& pieces : splits) {
        auto units = FeedAll(pieces, parser, rest);
        SCOPED_TRACE(::testing::Message() << pieces.size() << " pieces, the first of " << pieces[0].size());
        if (c["units"].is_number())
            EXPECT_EQ(units.size(), c["units"].get<std::size_t>());
        else
            EXPECT_EQ(units, c["units"]);
        EXPECT_EQ(rest, "");
        if (::testing::Test::HasFailure())
            return;
    }
}

class ReplyParsers : public ::testing::TestWithParam<json> {};

TEST_P(ReplyParsers, GiveTheSameUnitsWhereverTheInputIsCut) {
    const auto& parser = GetParam()["parser"];
    if (parser == "numeric")
        Check<TNumericReplyParser>(GetParam());
    else if (parser == "status")
        Check<TStatusReplyParser>(GetParam());
    else
        Check<TDataBlockParser>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Data, ReplyParsers, ::testing::ValuesIn(LoadCases("replies.json")), CaseName);

} // namespace
