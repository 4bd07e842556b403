// What the network library reads and writes, without servers, mostly on the case tables of
// tests/data/net (its README names each table's test): the reply, data block and FTP listing parsers
// fed whole and cut at every byte, line end conversion and dot-stuffing, secrets in protocol logs, what
// FTP replies carry, and composed messages read back with GMime's parser (their headers and trees of
// parts are checked through the mail actions' cases).
#include "MimeParse.h"
#include "NetTestData.h"
#include "host/DateTime.h"
#include "net/DataBlockWriter.h"
#include "net/FTPListParser.h"
#include "net/FTPReplyText.h"
#include "net/LineEndConverter.h"
#include "net/LogEventIntercept.h"
#include "net/MimeMessage.h"
#include "net/NetErrors.h"
#include "net/ReplyParser.h"
#include "net/SMTPExtensions.h"
#include "net/SentLineMasker.h"

#include <algorithm>
#include <ctime>
#include <fmt/format.h>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace zr::net;
using namespace quillate::testing;
using namespace std::chrono;
using ::testing::HasSubstr;

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

// A case with "ehlo" also says what the SMTP client reads from the EHLO answer it holds.
TEST_P(ReplyParsers, GiveTheSameUnitsWhereverTheInputIsCut) {
    static const std::map<std::string, void (*)(const json&)> checks{{"numeric", Check<TNumericReplyParser>},
                                                                     {"status", Check<TStatusReplyParser>},
                                                                     {"block", Check<TDataBlockParser>}};
    checks.at(GetParam()["parser"])(GetParam());
    if (!GetParam().contains("ehlo"))
        return;
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

INSTANTIATE_TEST_SUITE_P(Data, ReplyParsers, ::testing::ValuesIn(LoadCases("replies.json")), CaseName);

class Encoders : public ::testing::TestWithParam<json> {};

// The line end converter (the cases that name a direction) and the data block encoder.
TEST_P(Encoders, GiveTheSameOutputWhereverAChunkEnds) {
    const json& c = GetParam();
    auto encode = [&](const auto& pieces) {
        std::string out;
        if (c.contains("direction")) {
            TLineEndConverter converter(c["direction"] == "toLocal"
                                            ? TLineEndConverter::TDirection::ldToLocal
                                            : TLineEndConverter::TDirection::ldToNetwork);
            for (auto piece : pieces)
                out += converter.Convert(piece);
            out += converter.Finish();
        } else {
            TDataBlockEncoder encoder;
            for (auto piece : pieces)
                encoder.Encode(piece, out);
            encoder.Finish(out);
        }
        return json(out);
    };
    ExpectSameWhereverCut<std::exception>(c, Text(c["in"]), c["out"], encode);
}

INSTANTIATE_TEST_SUITE_P(LineEnds, Encoders, ::testing::ValuesIn(LoadCases("line-ends.json")), CaseName);
INSTANTIATE_TEST_SUITE_P(DotStuffing, Encoders, ::testing::ValuesIn(LoadCases("dot-stuffing.json")),
                         CaseName);

class Masking : public ::testing::TestWithParam<json> {};

TEST_P(Masking, ShowsSentLinesWithoutTheirSecrets) {
    TSentLineMasker masker;
    for (const auto& step : GetParam()["transcript"]) {
        if (step[0] == "<")
            masker.Received(step[1].get<std::string>());
        else
            EXPECT_EQ(masker.Sent(step[1].get<std::string>()), step.back()) << step[1];
    }
}

INSTANTIATE_TEST_SUITE_P(Data, Masking, ::testing::ValuesIn(LoadCases("masking.json")), CaseName);

TEST(LogEventIntercept, LogsWholeLinesWhereverChunksEndAndMasksSentOnes) {
    const std::string greeting = "220-Wel\r\n220 ready\r\r\n", afterLogin = "235 ok\r\n\r\n250 ";
    for (std::size_t cut = 0; cut <= afterLogin.size(); ++cut) {
        std::vector<std::string> log;
        TLogEventIntercept intercept([&](TLogEventType type, std::string_view text) {
            log.push_back(std::string(1, "RSs"[static_cast<int>(type)]) + " " + std::string(text));
        });
        auto receive = [&](std::string_view data) {
            intercept.Received(data.substr(0, std::min(cut, data.size())));
            intercept.Received(data.substr(std::min(cut, data.size())));
        };
        receive(greeting);
        intercept.Sent("AUTH LOG");
        intercept.Sent("IN\r\n");
        receive("334 VXNlcm5hbWU6\r\n");
        intercept.Sent("Ym9i\r\n");
        receive(afterLogin);
        intercept.Sent("PA");
        intercept.Sent("SS hunter2\r\nNOOP\r\n");
        intercept.Status(TConnectionStatus::csDisconnecting, "Disconnecting.");
        EXPECT_EQ(log, (std::vector<std::string>{"R 220-Wel", "R 220 ready", "R ", "S AUTH LOGIN",
                                                 "R 334 VXNlcm5hbWU6", "S ***", "R 235 ok", "R ",
                                                 "S PASS ***", "S NOOP", "R 250 ", "s Disconnecting."}))
            << "cut at " << cut;
    }
}

TEST(LogEventIntercept, CutsOverlongLinesAndHoldsNoLineOfABareLFPeer) {
    std::vector<std::string> log;
    TLogEventIntercept intercept([&](TLogEventType, std::string_view text) { log.emplace_back(text); });
    intercept.Sent("PASS " + std::string(TLogLineSplitter::MaxLine + 10, 's') + "\r\n");
    intercept.Received(std::string(3 * TLogLineSplitter::MaxLine, 'x'));
    intercept.Received("tail\r\n220 next\r\n");
    intercept.Received("226 bare\n");
    intercept.Received("227 lf\nends\n");
    EXPECT_EQ(log, (std::vector<std::string>{"PASS ***", std::string(TLogLineSplitter::MaxLine, 'x'),
                                             "220 next", "226 bare", "227 lf\nends"}));
}

// [name, type, size, modified, link target]; MLSD dates are UTC, LIST dates the local wall clock.
json Item(const TFTPListItem& item, bool utc) {
    static const char* const types[] = {"file", "dir", "link", "other"};
    return {item.FileName, types[static_cast<int>(item.ItemType)], item.Size,
            item.ModifiedDate ? json(Stamp(*item.ModifiedDate, utc)) : json(), item.LinkTarget};
}

std::time_t UtcTime(const std::string& text) {
    std::tm parts{};
    strptime(text.c_str(), "%Y-%m-%d %H:%M", &parts);
    return timegm(&parts);
}

class Listings : public ::testing::TestWithParam<json> {};

TEST_P(Listings, GiveTheSameItemsWhereverTheInputIsCut) {
    TScopedEnvironment zone("TZ", CET);
    const auto& c = GetParam();
    const std::string text =
        c.contains("file")
            ? ReadTextFile(std::string(QUILLATE_TEST_DATA_DIR) + "/listings/" + c["file"].get<std::string>())
            : Text(c["text"]);
    ASSERT_FALSE(text.empty());
    const auto format = c["format"] == "mlsd"    ? TFTPListFormat::lfMLSD
                        : c["format"] == "names" ? TFTPListFormat::lfNames
                                                 : TFTPListFormat::lfDetect;
    TListingLimits limits;
    limits.MaxLineLength = c.value("maxLineLength", limits.MaxLineLength);
    limits.MaxLines = c.value("maxLines", limits.MaxLines);
    limits.MaxBytes = c.value("maxBytes", limits.MaxBytes);
    limits.MaxRefusedKept = c.value("maxRefusedKept", limits.MaxRefusedKept);
    std::optional<std::vector<std::string>> lines; // those kept from the whole listing, fed first
    ExpectSameWhereverCut<EProtocolError>(c, text, c.value("items", json()), [&](const auto& pieces) {
        TFTPListingParser parser(format, UtcTime(c["now"]), limits, true);
        for (auto piece : pieces)
            parser.Feed(piece);
        parser.Finish();
        if (!lines)
            lines = parser.Lines();
        EXPECT_EQ(parser.Lines(), *lines);
        EXPECT_EQ(lines->size(), c.value("lines", lines->size()));
        json items = json::array();
        for (const auto& item : parser.Items())
            items.push_back(Item(item, format == TFTPListFormat::lfMLSD));
        for (const auto& refused : parser.Refused())
            items.push_back({refused.Name, "refused", refused.Reason});
        EXPECT_EQ(parser.RefusedCount(), c.value("refusedCount", parser.Refused().size()));
        return items;
    });
}

INSTANTIATE_TEST_SUITE_P(Data, Listings, ::testing::ValuesIn(LoadCases("listings.json")), CaseName);

// The value as show gives it, or null.
template <class T, class F = std::identity> json OrNull(const std::optional<T>& value, F show = {}) {
    return value ? json(show(*value)) : json();
}

TReply Reply(const json& codeAndLines) {
    return TReply{codeAndLines[0], codeAndLines[1], {}};
}

// Each function with its argument and result as the data file writes them.
const std::map<std::string, std::function<json(const json&)>> Functions{
    {"ParseQuotedPath", [](const json& in) { return OrNull(ParseQuotedPath(Text(in))); }},
    {"ParsePasvReply",
     [](const json& in) {
         return OrNull(ParsePasvReply(Text(in)), [](auto a) { return json{a.Address, a.Port}; });
     }},
    {"ParseEpsvReply", [](const json& in) { return OrNull(ParseEpsvReply(Text(in))); }},
    {"ParseFTPTimestamp",
     [](const json& in) {
         return OrNull(ParseFTPTimestamp(Text(in)), [](auto when) { return Stamp(when, true); });
     }},
    {"FormatFTPTimestamp",
     [](const json& in) {
         return json(FormatFTPTimestamp(system_clock::from_time_t(in[0]) + milliseconds(in[1].get<int>())));
     }},
    {"ParseFeatures", [](const json& in) { return json(ParseFeatures(Reply(in))); }},
    {"HasFeature", [](const json& in) { return json(HasFeature(in[0], in[1].get<std::string>())); }},
    {"ParseXCRCReply",
     [](const json& in) {
         return OrNull(ParseXCRCReply(Reply(in)), [](auto crc) { return fmt::format("{:08X}", crc); });
     }},
    {"ParseSizeReply", [](const json& in) { return OrNull(ParseSizeReply(Text(in))); }},
    {"ParseTransferSize", [](const json& in) { return OrNull(ParseTransferSize(Text(in))); }},
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

class MimeMessageTest : public ::testing::Test {
protected:
    MimeMessageTest() {
        // Several write blocks long, so that a failing sink is seen to stop the write at once.
        std::ofstream(Dir.Path() / "report.pdf", std::ios::binary) << std::string(200000, '\xfe');
        Address(Message);
    }
    static void Address(TMimeMessage& message) {
        message.From = {"Sender", "from@example.org"};
        message.To = {{"", "to@example.org"}};
        message.Subject = "test";
    }
    TMimeAttachment File(const std::string& name, const std::string& type = "") const {
        return {(Dir.Path() / name).string(), "", type, ""};
    }

    TTempDir Dir{"quillate-mime"};
    TMimeMessage Message;
};

TEST_F(MimeMessageTest, SubjectNamesAndTextComeBackAsWrittenInEveryCharset) {
    const json sets = LoadCases("charsets.json");
    for (const auto& [charset, text] : sets.items()) {
        SCOPED_TRACE(charset);
        const std::string sample = text;
        Message.Charset = charset;
        Message.Subject = Message.From.Name = sample;
        Message.Body = sample + "\n.\n" + sample;
        std::string written;
        Message.Write([&](std::string_view chunk) { written += chunk; });
        TParsedMessage parsed = ParseMessage(written);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(g_mime_message_get_subject(parsed.get()), sample);
        InternetAddressList* from = g_mime_message_get_from(parsed.get());
        EXPECT_EQ(internet_address_get_name(internet_address_list_get_address(from, 0)), sample);
        GMimeObject* body = g_mime_message_get_mime_part(parsed.get());
        std::string lower = charset;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return g_ascii_tolower(c); });
        EXPECT_EQ(Shape(body), "text/plain;" + lower);
        std::string text = Content(body);
        std::erase(text, '\r');
        EXPECT_EQ(text, sample + "\n.\n" + sample + "\n");
    }
}

TEST_F(MimeMessageTest, FaultsFailBeforeAnythingIsWritten) {
    // Opened as a file, a FIFO would wait for a writer for ever.
    ASSERT_EQ(::mkfifo((Dir.Path() / "pipe").c_str(), 0600), 0);
    const std::tuple<const char*, const char*, std::function<void(TMimeMessage&)>> faults[] = {
        {"MissingAttachment", "Attachment missing: /",
         [&](auto& m) {
             m.Attachments = {File("report.pdf"), File("gone.pdf")};
         }},
        {"FolderAsAttachment", "Attachment is not a regular file",
         [&](auto& m) { m.Attachments = {File("")}; }},
        {"FIFOAsAttachment", "Attachment is not a regular file",
         [&](auto& m) { m.Attachments = {File("pipe")}; }},
        {"UnknownCharset", "Unknown character set: foo", [](auto& m) { m.Charset = "foo"; }},
        {"TextOutsideTheSet", "The text cannot be written in iso-8859-2",
         [](auto& m) { m.Charset = "iso-8859-2", m.Body = "日本"; }},
        {"AddressWithCR", "address", [](auto& m) { m.To[0].Address = "to@x.org\r\nRCPT TO:<y@z>"; }},
        {"AddressWithBlank", "address", [](auto& m) { m.Cc = m.To, m.Cc[0].Address = "a b@x.org"; }},
        {"ContentTypeWithParameters", "The content type \"html;  X-Evil: 1\" cannot go into a header",
         [&](auto& m) { m.Attachments = {File("report.pdf", "text/html;\r\nX-Evil: 1")}; }},
    };
    for (const auto& [name, expected, fill] : faults) {
        SCOPED_TRACE(name);
        TMimeMessage message;
        Address(message);
        message.Body = "text";
        fill(message);
        // The check a sender makes before its first command finds the same fault.
        EXPECT_THAT([&] { message.Check(); }, ::testing::ThrowsMessage<EMimeError>(HasSubstr(expected)));
        std::string text;
        EXPECT_THAT([&] { message.Write([&](std::string_view chunk) { text += chunk; }); },
                    ::testing::ThrowsMessage<EMimeError>(HasSubstr(expected)));
        EXPECT_EQ(text, "");
    }
}

TEST_F(MimeMessageTest, ASinkFailureEndsTheWriteWithItsOwnError) {
    Message.Attachments = {File("report.pdf")};
    int calls = 0;
    auto failing = [&](std::string_view) { ++calls, throw std::out_of_range("sink is full"); };
    EXPECT_THROW(Message.Write(failing), std::out_of_range);
    EXPECT_EQ(calls, 1);
}

} // namespace
