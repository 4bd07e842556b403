// What the client reads from servers: frames cut anyhow, short, oversized and malformed input,
// the login server's reply and the service's SMS answers.
#include "IcqTestBytes.h"
#include "icq/FlapAssembler.h"
#include "icq/ICQText.h"
#include "icq/ServerPackets.h"

#include <functional>
#include <gtest/gtest.h>
#include <vector>

using namespace zr::icq;

namespace {

std::string Frame(std::uint8_t channel, std::uint16_t seq, const std::string& data) {
    return std::string{char(0x2A), char(channel),          char(seq >> 8),
                       char(seq),  char(data.size() >> 8), char(data.size())} +
           data;
}

// Channel, sequence and data of every frame the pieces give, then "error: <text>" if one came.
std::vector<std::string> Assemble(const std::vector<std::string>& pieces) {
    std::vector<std::string> seen;
    TFlapAssembler assembler;
    try {
        for (const auto& piece : pieces)
            assembler.Feed(piece, [&](const TFlapFrame& frame) {
                seen.push_back(std::to_string(frame.Header.ChID) + "/" + std::to_string(frame.Header.Seq) +
                               ":" + frame.Data);
            });
    } catch (const EICQPacketError& error) {
        seen.push_back(std::string("error: ") + error.what());
    }
    return seen;
}

struct TFrameCase {
    const char* Name;
    std::string Input;
    std::vector<std::string> Expected;
};

const std::string Oversized = "Length of incoming packet exceeds maximum supported by protocol";
const std::string Malformed = "Received malformed packet";

const TFrameCase FrameCases[] = {
    {"TwoFrames",
     Frame(1, 7, Hex("00 00 00 01")) + Frame(2, 8, "snac"),
     {"1/7:" + Hex("00 00 00 01"), "2/8:snac"}},
    {"EmptyFrameBetween", Frame(5, 1, "") + Frame(4, 2, "x"), {"5/1:", "4/2:x"}},
    {"LargestFrame",
     Frame(2, 3, std::string(MaxFlapDataSize, 'd')),
     {"2/3:" + std::string(MaxFlapDataSize, 'd')}},
    {"Truncated", Frame(2, 1, "abc") + Hex("2A 02 00 02 00 05 61"), {"2/1:abc"}},
    {"OversizedAfterAFrame", Frame(2, 1, "ok") + Hex("2A 02 00 02 1F FB"), {"2/1:ok", "error: " + Oversized}},
    {"OversizedWithoutMarker", Hex("00 02 00 02 FF FF"), {"error: " + Oversized}},
    {"WithoutMarker", Frame(2, 1, "ok") + Hex("2B 02 00 02 00 01 78"), {"2/1:ok", "error: " + Malformed}},
};

class FlapFrames : public ::testing::TestWithParam<TFrameCase> {};

// Whole, byte by byte, and cut in three at every pair of offsets (a step keeps big inputs quick).
TEST_P(FlapFrames, AreTheSameWhereverTheStreamIsCut) {
    const std::string& in = GetParam().Input;
    EXPECT_EQ(Assemble({in}), GetParam().Expected);
    std::vector<std::string> bytes;
    for (char c : in)
        bytes.emplace_back(1, c);
    EXPECT_EQ(Assemble(bytes), GetParam().Expected);
    std::size_t step = in.size() > 100 ? 997 : 1;
    for (std::size_t a = 0; a <= in.size(); a += step)
        for (std::size_t b = a; b <= in.size(); b += step)
            ASSERT_EQ(Assemble({in.substr(0, a), in.substr(a, b - a), in.substr(b)}), GetParam().Expected)
                << "cut at " << a << " and " << b;
}

INSTANTIATE_TEST_SUITE_P(Table, FlapFrames, ::testing::ValuesIn(FrameCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FlapFrames, AHandlerThatResetsEndsTheFeedAndTheNextConnectionStartsClean) {
    TFlapAssembler assembler;
    int frames = 0;
    assembler.Feed(Frame(4, 1, "bye") + Frame(2, 2, "stale") + Hex("2A 02"), [&](const TFlapFrame&) {
        ++frames;
        assembler.Reset();
    });
    EXPECT_EQ(frames, 1);
    assembler.Feed(Frame(1, 1, Hex("00 00 00 01")), [&](const TFlapFrame& frame) {
        EXPECT_EQ(frame.Header.ChID, 1);
        ++frames;
    });
    EXPECT_EQ(frames, 2);
}

// Each reader on input that is too short throws and leaves the position where it was.
struct TReadCase {
    const char* Name;
    std::string Input;
    std::function<std::string(TRawPkt&)> Read;
    std::string Expected; // "" when the read must fail
};

std::string Num(std::uint32_t n) {
    return std::to_string(n);
}

std::string TLVStr(TRawPkt& p) {
    std::uint16_t type = 0;
    std::string value = GetTLVStr(p, type);
    return value + "@" + Num(type);
}

std::string TLVInt(TRawPkt& p) {
    std::uint16_t type = 0;
    std::uint32_t value = GetTLVInt(p, type);
    return Num(value) + "@" + Num(type);
}

std::string Snac(TRawPkt& p) {
    auto s = GetSnac(p);
    return Num(s.Family) + "," + Num(s.SubType) + "," + Num(s.Flags) + "," + Num(s.ReqID);
}

const TReadCase ReadCases[] = {
    {"Int", Hex("01 02 03 04"), [](auto& p) { return Num(GetInt(p, 4)); }, "16909060"},
    {"LInt", Hex("01 02"), [](auto& p) { return Num(GetLInt(p, 2)); }, "513"},
    {"IntShort", Hex("01 02 03"), [](auto& p) { return Num(GetInt(p, 4)); }, ""},
    {"LStr", Hex("02 41 42 43"), GetLStr, "AB"},
    {"LStrShort", Hex("03 41 42"), GetLStr, ""},
    {"WStrShort", Hex("FF FF 41"), GetWStr, ""},
    {"DWStrHuge", Hex("FF FF FF FF 41"), GetDWStr, ""},
    {"TLVStr", Hex("00 05 00 02 41 42"), TLVStr, "AB@5"},
    {"TLVStrShort", Hex("00 05 00 03 41 42"), TLVStr, ""},
    {"TLVInt", Hex("00 06 00 03 01 00 00"), TLVInt, "65536@6"},
    {"TLVIntTooWide", Hex("00 06 00 05 00 00 00 00 01"), TLVInt, ""},
    {"Snac", Hex("00 15 00 03 80 00 00 01 00 02"), Snac, "21,3,32768,65538"},
    {"SnacShort", Hex("00 15 00 03 00 00 00 00 00"), Snac, ""},
    {"Skip", Hex("00 00"), [](auto& p) { return PktSkip(p, 3), std::string("moved"); }, ""},
};

class Readers : public ::testing::TestWithParam<TReadCase> {};

TEST_P(Readers, ReadWithinTheDataOrThrowWithoutMoving) {
    TRawPkt pkt = TRawPkt::FromBytes(GetParam().Input);
    if (GetParam().Expected.empty()) {
        EXPECT_THROW(GetParam().Read(pkt), EICQPacketError);
        EXPECT_EQ(pkt.Len, 0);
    } else {
        EXPECT_EQ(GetParam().Read(pkt), GetParam().Expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Readers, ::testing::ValuesIn(ReadCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Readers, MoreThanABufferIsRefused) {
    EXPECT_THROW(TRawPkt::FromBytes(std::string(MaxPacketSize + 1, 'x')), EICQPacketError);
}

std::string Tlv(std::uint16_t type, const std::string& value) {
    return std::string{char(type >> 8), char(type), char(value.size() >> 8), char(value.size())} + value;
}

struct TLoginCase {
    const char* Name;
    std::string Data;
    std::string Expected; // kind and, for a redirect, host, port and cookie; "malformed" when refused
};

const TLoginCase LoginCases[] = {
    {"Redirect", Tlv(1, "123") + Tlv(5, "bos.example:5191") + Tlv(6, "C00K1E"),
     "redirect bos.example 5191 C00K1E"},
    {"BadPassword", Tlv(1, "123") + Tlv(4, "http://x"), "bad password"},
    {"TooOften", Tlv(1, "123") + Tlv(8, Hex("00 18")), "too often"},
    {"FirstNotUin", Tlv(5, "h:1") + Tlv(1, "123") + Tlv(6, "c"), "malformed"},
    {"SecondUnknown", Tlv(1, "123") + Tlv(9, "h:1") + Tlv(6, "c"), "malformed"},
    {"NoCookie", Tlv(1, "123") + Tlv(5, "h:1") + Tlv(7, "c"), "malformed"},
    {"PortZero", Tlv(1, "123") + Tlv(5, "h:0") + Tlv(6, "c"), "malformed"},
    {"PortTooBig", Tlv(1, "123") + Tlv(5, "h:65536") + Tlv(6, "c"), "malformed"},
    {"PortNotNumeric", Tlv(1, "123") + Tlv(5, "h:51x") + Tlv(6, "c"), "malformed"},
    {"NoColon", Tlv(1, "123") + Tlv(5, "h") + Tlv(6, "c"), "malformed"},
    {"CutInsideTheCookie", Tlv(1, "123") + Tlv(5, "h:1") + Hex("00 06 00 09 41"), "malformed"},
    {"Empty", "", "malformed"},
};

class LoginReplies : public ::testing::TestWithParam<TLoginCase> {};

TEST_P(LoginReplies, GiveTheServiceServerOrTheReasonOrAreRefused) {
    std::string seen;
    try {
        TLoginReply reply = ParseLoginReply(GetParam().Data);
        static const char* const kinds[] = {"redirect", "bad password", "too often"};
        seen = kinds[reply.Kind];
        if (reply.Kind == TLoginReply::lrRedirect)
            seen += " " + reply.Host + " " + std::to_string(reply.Port) + " " + reply.Cookie;
    } catch (const EICQPacketError& error) {
        EXPECT_STREQ(error.what(), "Received malformed login packet");
        seen = "malformed";
    }
    EXPECT_EQ(seen, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Table, LoginReplies, ::testing::ValuesIn(LoginCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// The body of a service answer: TLV 1, its length, chunk size, UIN, then the little-endian fields.
std::string ServiceAnswer(const std::string& rest) {
    return Hex("00 01 00 00  00 00  7B 00 00 00") + rest;
}

std::string SMSAnswer(const std::string& xml) {
    std::string length{char(xml.size()), char(xml.size() >> 8)};
    return ServiceAnswer(Hex("DA 07  02 00  96 00  0A") + std::string(12, '\0') + length + xml);
}

struct TServiceCase {
    const char* Name;
    std::string Body;
    std::string Expected; // kind, then source, network, id and deliverable for an acknowledgement
};

const TServiceCase ServiceCases[] = {
    {"Deliverable",
     SMSAnswer("<sms_response><source>airbornegsm</source><deliverable>Yes</deliverable><network>Orange "
               "\xC3\xA9</network><message_id>m-1</message_id></sms_response>"),
     "ack airbornegsm Orange \xC3\xA9 m-1 yes"},
    {"NotDeliverable", SMSAnswer("<deliverable>No</deliverable><source>s</source>"), "ack s   no"},
    {"Refused", ServiceAnswer(Hex("DA 07  02 00  01 00")), "refused"},
    {"OfflineEnd", ServiceAnswer(Hex("42 00")), "offline end"},
    {"UserInformation", ServiceAnswer(Hex("DA 07  02 00  C8 00  0A")), "other"},
    {"FailedStatus", ServiceAnswer(Hex("DA 07  02 00  96 00  14")), "other"},
};

class ServiceResponses : public ::testing::TestWithParam<TServiceCase> {};

TEST_P(ServiceResponses, TellTheSMSOutcome) {
    TRawPkt pkt = TRawPkt::FromBytes(GetParam().Body);
    TServiceResponse response = ParseServiceResponse(pkt);
    static const char* const kinds[] = {"other", "offline message", "offline end", "refused", "ack"};
    std::string seen = kinds[response.Kind];
    if (response.Kind == TServiceResponse::srSMSAck)
        seen += " " + response.Source + " " + response.Network + " " + response.MessageId + " " +
                (response.Deliverable ? "yes" : "no");
    EXPECT_EQ(seen, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ServiceResponses, ::testing::ValuesIn(ServiceCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(ServiceResponses, AnAnswerCutShortThrows) {
    std::string whole = SMSAnswer("<deliverable>Yes</deliverable>");
    for (std::size_t cut : {std::size_t{3}, std::size_t{11}, whole.size() - 1}) {
        TRawPkt pkt = TRawPkt::FromBytes(whole.substr(0, cut));
        EXPECT_THROW(ParseServiceResponse(pkt), EICQPacketError) << "cut at " << cut;
    }
}

TEST(Text, WireTextAndBack) {
    EXPECT_EQ(WireText("a\xC3\xA9\xE2\x82\xAC\xFF"), "a\xE9??"); // e-acute, euro, a stray byte
    EXPECT_EQ(FromWireText("a\xE9"), "a\xC3\xA9");
    EXPECT_EQ(UTF8ToStr("\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(UTF8ToStr("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9"); // not UTF-8: read as 8-bit text
    EXPECT_EQ(UTF8ToStr("\xC0\xAF"), "\xC3\x80\xC2\xAF");   // an overlong form is not UTF-8 either
}

TEST(Text, StatusClassesFirstMatchWins) {
    // 0x12 holds bit 0x10, which matches before the rule for 0x12 can.
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {{0x13, 19}, {0x11, 17}, {0x05, 5},
                                                             {0x12, 17}, {0x01, 1},  {0x100, 0x100},
                                                             {0x20, 32}, {0x04, 5},  {0x80000, 0}};
    for (auto [status, kind] : cases)
        EXPECT_EQ(StatusToInt(status), kind) << status;
}

TEST(Text, XMLEntryAndSMSTime) {
    EXPECT_EQ(GetXMLEntry("a", "</a><a>1</a><a>2</a>"), "1");
    EXPECT_EQ(GetXMLEntry("a", "<a>open"), "");
    EXPECT_EQ(GetSMSTime(std::chrono::system_clock::from_time_t(1796550427)), "06 Dec 2026 09:47:07 GMT");
}

} // namespace
