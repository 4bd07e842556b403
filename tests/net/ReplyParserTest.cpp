// The reply and data block parsers on the cases of tests/data/net/replies.json: real answers of FTP,
// SMTP, POP3 and NNTP servers, whole and cut at every byte, and what they refuse; and what the SMTP
// client reads from an EHLO answer.
#include "net/ReplyParser.h"

#include "NetTestData.h"
#include "net/NetErrors.h"
#include "net/SMTPExtensions.h"

#include <gtest/gtest.h>
#include <map>
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

// Feeds the pieces in turn and collects every complete unit; no bytes may be left after the last.
template <class TParser> json FeedAll(const std::vector<std::string_view>& pieces, TParser parser) {
    json units = json::array();
    std::string rest;
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
    EXPECT_EQ(rest, "");
    return units;
}

template <class TParser> void Check(const json& c) {
    auto parser = c.value("small", false) ? TParser(Small) : TParser();
    ExpectSameWhereverCut<EProtocolError>(c, Text(c["input"]), c.value("units", json()),
                                          [&](const auto& pieces) { return FeedAll(pieces, parser); });
}

class ReplyParsers : public ::testing::TestWithParam<json> {};

TEST_P(ReplyParsers, GiveTheSameUnitsWhereverTheInputIsCut) {
    static const std::map<std::string, void (*)(const json&)> checks{{"numeric", Check<TNumericReplyParser>},
                                                                     {"status", Check<TStatusReplyParser>},
                                                                     {"block", Check<TDataBlockParser>}};
    checks.at(GetParam()["parser"])(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Data, ReplyParsers, ::testing::ValuesIn(LoadCases("replies.json")), CaseName);

class EhloReplies : public ::testing::TestWithParam<json> {};

TEST_P(EhloReplies, TellTheExtensionsTheClientUses) {
    TNumericReplyParser parser;
    TLineParser::TProgress progress;
    parser.Feed(Text(GetParam()["input"]), progress);
    ASSERT_EQ(progress, TLineParser::TProgress::lpComplete);
    auto extensions = EhloExtensions(parser.TakeReply());
    auto size = MaxMessageSizeOf(extensions);
    json seen{{"auth", AuthMechanismsOf(extensions)},
              {"size", size ? json(*size) : json()},
              {"starttls", OffersExtension(extensions, "starttls")}};
    EXPECT_EQ(seen, GetParam()["ehlo"]);
}

json EhloCases() {
    json cases = json::array();
    for (const auto& c : LoadCases("replies.json"))
        if (c.contains("ehlo"))
            cases.push_back(c);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Data, EhloReplies, ::testing::ValuesIn(EhloCases()), CaseName);

} // namespace
