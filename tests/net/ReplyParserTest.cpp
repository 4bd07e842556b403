#include "net/NetErrors.h"
#include "net/ReplyParser.h"
#include "net/ReplySession.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zr::net;

namespace {

struct TParsed {
    std::vector<TReply> Replies;
    std::string Rest; // bytes after the last complete reply
};

// Feeds the input in pieces of the given sizes (cycled) and collects every complete reply.
TParsed Parse(std::string_view input, std::vector<std::size_t> pieces = {SIZE_MAX}, TReplyLimits limits = {}) {
    TReplyParser parser(limits);
    TParsed result;
    std::size_t pos = 0, k = 0;
    std::string pending;
    while (pos < input.size()) {
        std::size_t n = std::min(pieces[k++ % pieces.size()], input.size() - pos);
        pending.append(input.substr(pos, n));
        pos += n;
        for (;;) {
            TReplyParser::TStatus status;
            std::size_t used = parser.Feed(pending, status);
            pending.erase(0, used);
            if (status != TReplyParser::TStatus::rsComplete)
                break;
            result.Replies.push_back(parser.TakeReply());
        }
    }
    result.Rest = pending;
    return result;
}

struct TReplyCase {
    const char* Name;
    std::string Input;
    int Code;
    std::vector<std::string> Lines;
    std::string Text;
};

class ReplyParserCases : public ::testing::TestWithParam<TReplyCase> {};

TEST_P(ReplyParserCases, ParsesWholeAndSplitAtEveryByte) {
    const auto& c = GetParam();
    // Whole, then split at every offset into two pieces, then one byte at a time.
    std::vector<std::vector<std::size_t>> splits{{SIZE_MAX}, {1}};
    for (std::size_t i = 1; i < c.Input.size(); ++i)
        splits.push_back({i, SIZE_MAX});
    for (const auto& split : splits) {
        TParsed parsed = Parse(c.Input, split);
        ASSERT_EQ(parsed.Replies.size(), 1u) << "split " << split[0];
        EXPECT_EQ(parsed.Replies[0].Code, c.Code);
        EXPECT_EQ(parsed.Replies[0].Lines, c.Lines);
        EXPECT_EQ(parsed.Replies[0].Text(), c.Text);
        EXPECT_EQ(parsed.Rest, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    RealReplies, ReplyParserCases,
    ::testing::Values(
        TReplyCase{"single", "220 ProFTPD Server ready.\r\n", 220, {"220 ProFTPD Server ready."},
                   "ProFTPD Server ready."},
        TReplyCase{"bare_lf", "200 Type set to I\n", 200, {"200 Type set to I"}, "Type set to I"},
        TReplyCase{"code_only", "230\r\n", 230, {"230"}, ""},
        TReplyCase{"feat",
                   "211-Features:\r\n MDTM\r\n MLST type*;size*;modify*;\r\n SIZE\r\n XCRC\r\n211 End\r\n",
                   211,
                   {"211-Features:", " MDTM", " MLST type*;size*;modify*;", " SIZE", " XCRC", "211 End"},
                   "Features:\n MDTM\n MLST type*;size*;modify*;\n SIZE\n XCRC\nEnd"},
        TReplyCase{"xcrc_proftpd", "250-Computing CRC32 digest\r\n250 363A3020\r\n", 250,
                   {"250-Computing CRC32 digest", "250 363A3020"}, "Computing CRC32 digest\n363A3020"},
        // Lines inside a multi-line reply that look like other replies do not end it.
        TReplyCase{"inner_codes", "214-Help\r\n200 not the end\r\n214-still\r\n214 end\r\n", 214,
                   {"214-Help", "200 not the end", "214-still", "214 end"},
                   "Help\n200 not the end\nstill\nend"},
        TReplyCase{"smtp_style", "250-mail.example.org\r\n250-PIPELINING\r\n250 SIZE 1000\r\n", 250,
                   {"250-mail.example.org", "250-PIPELINING", "250 SIZE 1000"},
                   "mail.example.org\nPIPELINING\nSIZE 1000"},
        TReplyCase{"protected", "631 base64data\r\n", 631, {"631 base64data"}, "base64data"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ReplyParser, StopsAtTheEndOfAReplyAndLeavesTheRest) {
    TReplyParser parser;
    TReplyParser::TStatus status;
    std::string_view input = "150 Opening\r\n226 Done\r\n";
    EXPECT_EQ(parser.Feed(input, status), 13u);
    EXPECT_EQ(status, TReplyParser::TStatus::rsComplete);
    EXPECT_EQ(parser.TakeReply().Code, 150);
    EXPECT_EQ(parser.Feed(input.substr(13), status), 10u);
    EXPECT_EQ(parser.TakeReply().Code, 226);

    TParsed parsed = Parse("150 Opening\r\n226 Done\r\n421 Bye\r\n", {7});
    ASSERT_EQ(parsed.Replies.size(), 3u);
    EXPECT_EQ(parsed.Replies[2].Code, 421);
}

TEST(ReplyParser, FormattedTextEndsEveryLineWithCrLf) {
    TParsed parsed = Parse("250-Computing CRC32 digest\n250 363A3020\n");
    ASSERT_EQ(parsed.Replies.size(), 1u);
    EXPECT_EQ(parsed.Replies[0].FormattedText(), "250-Computing CRC32 digest\r\n250 363A3020\r\n");
    EXPECT_EQ(parsed.Replies[0].FinalLineText(), "363A3020");
}

class ReplyParserMalformed : public ::testing::TestWithParam<std::string> {};

TEST_P(ReplyParserMalformed, RaisesProtocolError) {
    EXPECT_THROW(Parse(GetParam()), EProtocolError);
    EXPECT_THROW(Parse(GetParam(), {1}), EProtocolError);
}

INSTANTIATE_TEST_SUITE_P(Garbage, ReplyParserMalformed,
                         ::testing::Values("hello there\r\n", "99 short\r\n", "700 out of range\r\n",
                                           "2000 four digits\r\n", "22O letter O\r\n", "\r\n",
                                           std::string("\0\x01\x02\r\n", 5), "220x no separator\r\n",
                                           "-220 dash first\r\n"));

TEST(ReplyParser, RefusesOverlongLinesBeforeBufferingThem) {
    TReplyLimits limits;
    limits.MaxLineLength = 100;
    std::string exact = "220 " + std::string(96, 'a') + "\r\n";
    EXPECT_EQ(Parse(exact, {SIZE_MAX}, limits).Replies.size(), 1u);
    EXPECT_EQ(Parse(exact, {1}, limits).Replies.size(), 1u);
    std::string tooLong = "220 " + std::string(97, 'a') + "\r\n";
    EXPECT_THROW(Parse(tooLong, {SIZE_MAX}, limits), EProtocolError);
    EXPECT_THROW(Parse(tooLong, {1}, limits), EProtocolError);
    // No line end at all: refused as soon as the limit is passed, not when the line ends.
    EXPECT_THROW(Parse("220 " + std::string(5000, 'a'), {64}, limits), EProtocolError);
}

TEST(ReplyParser, RefusesEndlessMultiLineReplies) {
    TReplyLimits limits;
    limits.MaxLines = 50;
    std::string input = "211-start\r\n";
    for (int i = 0; i < 60; ++i)
        input += " line\r\n";
    EXPECT_THROW(Parse(input, {SIZE_MAX}, limits), EProtocolError);
    std::string fits = "211-start\r\n";
    for (int i = 0; i < 48; ++i)
        fits += " line\r\n";
    fits += "211 end\r\n";
    EXPECT_EQ(Parse(fits, {SIZE_MAX}, limits).Replies.size(), 1u);
}

TEST(ReplySession, CommandForDisplayHidesPasswordArgumentsOnly) {
    EXPECT_EQ(CommandForDisplay("PASS secret"), "PASS");
    EXPECT_EQ(CommandForDisplay("pass secret"), "pass");
    EXPECT_EQ(CommandForDisplay("AcCt account words"), "AcCt");
    EXPECT_EQ(CommandForDisplay("PASS"), "PASS");
    EXPECT_EQ(CommandForDisplay("CWD /pub/PASS x"), "CWD /pub/PASS x");
    EXPECT_EQ(CommandForDisplay("PASSIVE x"), "PASSIVE x");
}

} // namespace
