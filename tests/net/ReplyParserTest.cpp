// The reply and data block parsers: real answers of FTP, SMTP, POP3 and NNTP servers, whole and cut
// at every byte, and what they refuse.
#include "net/NetErrors.h"
#include "net/ReplyParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zr::net;

namespace {

template <class TParser> auto Take(TParser& parser) {
    if constexpr (std::is_same_v<TParser, TDataBlockParser>)
        return parser.TakeLines();
    else
        return parser.TakeReply();
}

// Feeds the input in pieces of the given sizes (cycled) and collects every complete unit; the bytes
// after the last one are left in rest.
template <class TParser>
auto FeedAll(std::string_view input, std::vector<std::size_t> pieces, TParser parser, std::string* rest = nullptr) {
    std::vector<decltype(Take(parser))> units;
    std::size_t pos = 0, k = 0;
    std::string pending;
    while (pos < input.size()) {
        std::size_t n = std::min(pieces[k++ % pieces.size()], input.size() - pos);
        pending.append(input.substr(pos, n));
        pos += n;
        for (TLineParser::TProgress progress;;) {
            pending.erase(0, parser.Feed(pending, progress));
            if (progress != TLineParser::TProgress::lpComplete)
                break;
            units.push_back(Take(parser));
        }
    }
    if (rest)
        *rest = pending;
    return units;
}

// Whole, cut in two at every offset, and one byte at a time: the same units every time.
template <class TParser> auto Grind(std::string_view input, TParser parser = TParser()) {
    std::string rest;
    auto whole = FeedAll(input, {SIZE_MAX}, parser, &rest);
    EXPECT_EQ(rest, "");
    std::vector<std::vector<std::size_t>> splits{{1}};
    for (std::size_t i = 1; i < input.size(); ++i)
        splits.push_back({i, SIZE_MAX});
    for (const auto& split : splits) {
        EXPECT_EQ(FeedAll(input, split, parser, &rest), whole) << "first piece " << split[0];
        EXPECT_EQ(rest, "");
    }
    return whole;
}

constexpr auto Positive = TReplyStatus::rsPositive;
constexpr auto Intermediate = TReplyStatus::rsIntermediate;
constexpr auto Negative = TReplyStatus::rsNegative;

struct TReplyCase {
    const char* Name;
    bool Numeric;
    std::string Input;
    int Code;
    TReplyStatus Status;
    std::vector<std::string> Lines;
    std::string Text;
};

class ReplyCases : public ::testing::TestWithParam<TReplyCase> {};

TEST_P(ReplyCases, ParseWholeAndCutAtEveryByte) {
    const auto& c = GetParam();
    auto replies = c.Numeric ? Grind<TNumericReplyParser>(c.Input) : Grind<TStatusReplyParser>(c.Input);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].Code, c.Code);
    EXPECT_EQ(replies[0].Status(), c.Status);
    EXPECT_EQ(replies[0].Lines, c.Lines);
    EXPECT_EQ(replies[0].Text(), c.Text);
    EXPECT_EQ(replies[0].FinalLineText(), c.Text.substr(c.Text.rfind('\n') + 1));
}

INSTANTIATE_TEST_SUITE_P(
    RealReplies, ReplyCases,
    ::testing::Values(
        TReplyCase{"ftp_greeting", true, "220 ProFTPD Server ready.\r\n", 220, Positive,
                   {"220 ProFTPD Server ready."}, "ProFTPD Server ready."},
        TReplyCase{"bare_lf", true, "150 Opening\n", 150, Positive, {"150 Opening"}, "Opening"},
        TReplyCase{"code_only", true, "331\r\n", 331, Intermediate, {"331"}, ""},
        TReplyCase{"ftp_feat", true, "211-Features:\r\n MDTM\r\n SIZE\r\n211 End\r\n", 211, Positive,
                   {"211-Features:", " MDTM", " SIZE", "211 End"}, "Features:\n MDTM\n SIZE\nEnd"},
        // Inside an FTP multi-line reply, lines that look like other replies do not end it.
        TReplyCase{"inner_codes", true, "214-Help\r\n200 not the end\r\n214-still\r\n214 end\r\n", 214, Positive,
                   {"214-Help", "200 not the end", "214-still", "214 end"}, "Help\n200 not the end\nstill\nend"},
        TReplyCase{"smtp_ehlo", true, "250-mail.example.org\r\n250-AUTH PLAIN LOGIN\r\n250 SIZE 1000\r\n", 250,
                   Positive, {"250-mail.example.org", "250-AUTH PLAIN LOGIN", "250 SIZE 1000"},
                   "mail.example.org\nAUTH PLAIN LOGIN\nSIZE 1000"},
        TReplyCase{"smtp_auth_challenge", true, "334 VXNlcm5hbWU6\r\n", 334, Intermediate, {"334 VXNlcm5hbWU6"},
                   "VXNlcm5hbWU6"},
        TReplyCase{"smtp_refusal", true, "535 5.7.8 Authentication failed\r\n", 535, Negative,
                   {"535 5.7.8 Authentication failed"}, "5.7.8 Authentication failed"},
        TReplyCase{"nntp_article", true, "220 3000234 <45223423@example.com>\r\n", 220, Positive,
                   {"220 3000234 <45223423@example.com>"}, "3000234 <45223423@example.com>"},
        TReplyCase{"ftp_protected", true, "631 base64data\r\n", 631, Intermediate, {"631 base64data"}, "base64data"},
        TReplyCase{"pop3_ok", false, "+OK dovecot ready.\r\n", 0, Positive, {"+OK dovecot ready."},
                   "dovecot ready."},
        TReplyCase{"pop3_bare_ok", false, "+OK\r\n", 0, Positive, {"+OK"}, ""},
        TReplyCase{"pop3_err", false, "-ERR [AUTH] Authentication failed.\r\n", 0, Negative,
                   {"-ERR [AUTH] Authentication failed."}, "[AUTH] Authentication failed."},
        TReplyCase{"pop3_sasl", false, "+ \r\n", 0, Intermediate, {"+ "}, ""},
        TReplyCase{"pop3_sasl_data", false, "+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2U+\n", 0, Intermediate,
                   {"+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2U+"}, "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2U+"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ReplyParser, StopsAtTheEndOfAUnitAndLeavesTheRest) {
    auto replies = FeedAll("150 Opening\r\n226 Done\r\n421 Bye\r\n", {7}, TNumericReplyParser());
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[2].Code, 421);
    // The block after a POP3 status line, and the reply after the block, are for the next parser.
    std::string_view input = "+OK 2 messages\r\n1 120\r\n.\r\n+OK\r\n";
    TLineParser::TProgress progress;
    TStatusReplyParser status;
    std::size_t used = status.Feed(input, progress);
    EXPECT_EQ(progress, TLineParser::TProgress::lpComplete);
    TDataBlockParser block;
    used += block.Feed(input.substr(used), progress);
    EXPECT_EQ(block.TakeLines(), std::vector<std::string>{"1 120"});
    EXPECT_EQ(input.substr(used), "+OK\r\n");
}

TEST(DataBlockParser, UndoesDotStuffingAndStopsAtTheLoneDot) {
    // A POP3 RETR body or an NNTP article: ".." opens a line that began with a dot; ". x" and "..."
    // are lines too; only "." alone ends the block.
    auto blocks = Grind<TDataBlockParser>("Subject: x\r\n\r\n..hidden dot\r\n. x\r\n...\r\n\r\nlast\n.\r\n");
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], (std::vector<std::string>{"Subject: x", "", ".hidden dot", " x", "..", "", "last"}));
    EXPECT_EQ(Grind<TDataBlockParser>(".\r\n"), std::vector<std::vector<std::string>>(1));
}

struct TRefusedCase {
    const char* Name;
    int Parser; // 0 numeric, 1 status, 2 block
    std::string Input;
    TLineLimits Limits;
};

class Refused : public ::testing::TestWithParam<TRefusedCase> {};

TEST_P(Refused, RaisesProtocolErrorWholeAndByteByByte) {
    const auto& c = GetParam();
    for (std::size_t piece : {SIZE_MAX, std::size_t{1}}) {
        SCOPED_TRACE(piece);
        if (c.Parser == 0)
            EXPECT_THROW(FeedAll(c.Input, {piece}, TNumericReplyParser(c.Limits)), EProtocolError);
        else if (c.Parser == 1)
            EXPECT_THROW(FeedAll(c.Input, {piece}, TStatusReplyParser(c.Limits)), EProtocolError);
        else
            EXPECT_THROW(FeedAll(c.Input, {piece}, TDataBlockParser(c.Limits)), EProtocolError);
    }
}

constexpr TLineLimits Small{100, 50, 2000};
std::string Repeat(const std::string& line, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += line;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, Refused,
    ::testing::Values(
        TRefusedCase{"no_code", 0, "hello there\r\n", Small}, TRefusedCase{"two_digits", 0, "99 short\r\n", Small},
        TRefusedCase{"code_700", 0, "700 out of range\r\n", Small},
        TRefusedCase{"four_digits", 0, "2000 x\r\n", Small}, TRefusedCase{"letter", 0, "22O x\r\n", Small},
        TRefusedCase{"empty", 0, "\r\n", Small}, TRefusedCase{"binary", 0, std::string("\0\x01\r\n", 4), Small},
        TRefusedCase{"dash_first", 0, "-220 x\r\n", Small},
        TRefusedCase{"pop3_okay", 1, "+OKAY\r\n", Small}, TRefusedCase{"pop3_numeric", 1, "200 OK\r\n", Small},
        TRefusedCase{"pop3_empty", 1, "\r\n", Small},
        // Limits: refused as soon as passed, not when the line or unit ends.
        TRefusedCase{"long_line", 0, "220 " + std::string(97, 'a') + "\r\n", Small},
        TRefusedCase{"endless_line", 0, "220 " + std::string(5000, 'a'), Small},
        TRefusedCase{"endless_status", 1, "+OK " + std::string(5000, 'a'), Small},
        TRefusedCase{"endless_reply", 0, "211-start\r\n" + Repeat(" line\r\n", 60), Small},
        TRefusedCase{"reply_bytes", 0, "211-start\r\n" + Repeat(std::string(98, 'x') + "\r\n", 25), Small},
        TRefusedCase{"block_line", 2, std::string(101, 'x') + "\r\n.\r\n", Small},
        TRefusedCase{"block_lines", 2, Repeat("x\r\n", 51), Small},
        TRefusedCase{"block_bytes", 2, Repeat(std::string(90, 'x') + "\r\n", 23), Small}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ReplyParser, TakesWhatFitsTheLimitsExactly) {
    EXPECT_EQ(FeedAll("220 " + std::string(96, 'a') + "\r\n", {1}, TNumericReplyParser(Small)).size(), 1u);
    EXPECT_EQ(FeedAll("211-start\r\n" + Repeat(" line\r\n", 48) + "211 end\r\n", {SIZE_MAX}, TNumericReplyParser(Small))
                  .size(),
              1u);
    EXPECT_EQ(FeedAll(Repeat(std::string(98, 'x') + "\r\n", 19) + ".\r\n", {SIZE_MAX}, TDataBlockParser(Small)).size(),
              1u);
}

} // namespace
