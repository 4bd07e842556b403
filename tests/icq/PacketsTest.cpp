// The packets the client sends, against bytes worked out by hand from the protocol's layout; and what
// it reads from servers: frames cut anyhow, short, oversized and malformed input, the login server's
// reply and the service's SMS answers.
#include "icq/ClientPackets.h"
#include "icq/FlapAssembler.h"
#include "icq/ICQText.h"
#include "icq/ServerPackets.h"

#include <functional>
#include <gtest/gtest.h>
#include <tuple>
#include <vector>

using namespace zr::icq;

namespace {

// Bytes written as hex pairs ("2A 01 00 00"); blanks are ignored.
std::string Hex(std::string_view pairs) {
    std::string bytes, digits;
    for (char c : pairs)
        if (c != ' ' && (digits += c).size() == 2) {
            bytes += static_cast<char>(std::stoi(digits, nullptr, 16));
            digits.clear();
        }
    if (!digits.empty())
        throw std::invalid_argument("odd number of hex digits");
    return bytes;
}

std::uint16_t RequestSeq = 2;

// The packet, how it is built, its sequence number before and the bytes.
using TBuild = std::function<TRawPkt(std::uint16_t&)>;
const std::tuple<const char*, TBuild, std::uint16_t, std::string> Packets[] = {
    {"Identification", [](auto& seq) { return CreateCLI_IDENT(seq, 123, "secret"); }, 0x1234,
     Hex("2A 01 12 34 00 7E"              // FLAP sign-on channel, sequence, 126 bytes
         "00 00 00 01"                    // version 1
         "00 01 00 03 31 32 33"           // TLV 1: UIN "123"
         "00 02 00 06  80 43 E2 B6 5C F2" // TLV 2: "secret" XORed with the key F3 26 81 C4 39 86
         "00 03 00 33  49 43 51 20 49 6e 63 2e 20 2d 20 50 72 6f 64 75 63 74 20 6f 66 20 49 43 51 20 28"
         "54 4d 29 2e 32 30 30 33 62 2e 35 2e 35 36 2e 31 2e 33 39 31 36 2e 38 35" // TLV 3: client id
         "00 16 00 02 01 0A  00 17 00 02 00 05  00 18 00 02 00 25" // client id number, major 5, minor 37
         "00 19 00 02 00 01  00 1A 00 02 0E 90"                    // lesser 1, build 3728
         "00 14 00 04 00 00 00 55"                                 // distribution 85
         "00 0F 00 02 65 6E  00 0E 00 02 75 73")},                 // "en", "us"
    {"ClientReady", [](auto& seq) { return CreateCLI_READY(seq); }, 0x0001,
     Hex("2A 02 00 01 00 5A  00 01 00 02 00 00 00 00 00 00" // FLAP 90 bytes, SNAC (1, 2)
         "00 01 00 03 01 10 04 7B  00 13 00 02 01 10 04 7B" // family, version, tool id, tool version
         "00 02 00 01 01 01 04 7B  00 03 00 01 01 10 04 7B" // family 2 with tool 0x0101
         "00 15 00 01 01 10 04 7B  00 04 00 01 01 10 04 7B  00 06 00 01 01 10 04 7B"
         "00 09 00 01 01 10 04 7B  00 0A 00 01 01 10 04 7B  00 0B 00 01 01 10 04 7B")},
    {"UserInformation", [](auto& seq) { return CreateCLI_SETUSERINFO(seq); }, 0x0002,
     Hex("2A 02 00 02 00 4E  00 02 00 04 00 00 00 00 00 00" // FLAP 78 bytes, SNAC (2, 4)
         "00 05 00 40"                                      // TLV 5: 64 bytes of capabilities
         "09 46 13 49 4C 7F 11 D1 82 22 44 45 53 54 00 00  97 B1 27 51 24 3C 43 34 AD 22 D6 AB F7 3F 14 92"
         "2E 7A 64 75 FA DF 4D C8 88 6F EA 35 95 FD B6 DF  09 46 13 44 4C 7F 11 D1 82 22 44 45 53 54 00 00")},
    {"MessageWrapsTheSequence",
     [](auto& seq) { return CreateCLI_SENDMSG(seq, 0, 0xABCDEF, 456, "H\xC3\xA9\xE2\x82\xAC"); }, 0xFFFF,
     Hex("2A 02 FF FF 00 30  00 04 00 06 00 00 00 00 00 00" // FLAP 48 bytes, SNAC (4, 6)
         "00 00 00 00 00 AB CD EF  00 01  03 34 35 36"      // cookie, channel 1, UIN "456"
         "00 02 00 10  05 01 00 01 01"                      // TLV 2 { TLV 0x0501 = 1
         "01 01 00 07  00 00 00 00  48 E9 3F" // TLV 0x0101 = charset 0, "H", e-acute, euro as "?" }
         "00 06 00 00")},                     // empty TLV 6
    // A service request also advances the request sequence.
    {"SMSRequest",
     [](auto& seq) {
         RequestSeq = 2;
         auto pkt = CreateCLI_SENDSMS(seq, 123, "+4412345", "06 Dec 2026 09:47:07 GMT", 1252, "Hi \xC3\xA9",
                                      RequestSeq);
         EXPECT_EQ(RequestSeq, 3);
         return pkt;
     },
     0x0100,
     Hex("2A 02 01 00 01 36  00 15 00 02 00 00 00 01 00 02" // FLAP 310 bytes, SNAC (0x15, 2) id 0x00010002
         "00 01 01 28  26 01"                               // TLV 1 of 296 bytes; LE length of the rest, 294
         "7B 00 00 00  D0 07  02 00"                        // LE: UIN 123, command 2000, request 2
         "82 14 00 01 00 16  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00" // SMS request, 16 zeros
         "00 00 01 04") + // TLV 0: 260 bytes of XML and its zero
         "<icq_sms_message><destination>+4412345</destination><text>Hi \xC3\xA9</text>"
         "<codepage>1252</codepage><senders_UIN>123</senders_UIN><senders_name>TICQClient</senders_name>"
         "<delivery_receipt>Yes</delivery_receipt><time>06 Dec 2026 09:47:07 GMT</time></icq_sms_message>" +
         std::string(1, '\0')},
    {"AckOfflineMessagesAfterTheFirstRequest",
     [](auto& seq) {
         RequestSeq = 3;
         return CreateCLI_ACKOFFLINEMSGS(seq, 123, RequestSeq);
     },
     0,
     Hex("2A 02 00 00 00 18  00 15 00 02 00 00 00 00 00 00  00 01 00 0A  08 00  7B 00 00 00  3E 00  03 00")},
};

TEST(ClientPackets, MatchTheHandCheckedBytesAndAdvanceTheSequence) {
    for (const auto& [name, build, before, expected] : Packets) {
        SCOPED_TRACE(name);
        std::uint16_t seq = before;
        EXPECT_EQ(build(seq).Bytes(), expected);
        EXPECT_EQ(seq, static_cast<std::uint16_t>(before + 1));
    }
}

TEST(ClientPackets, TextsAreEscapedNarrowedAndCut) {
    std::uint16_t seq = 0;
    // The SMS text and number cannot end their elements.
    const std::string sms(CreateCLI_SENDSMS(seq, 1, "1</destination>", "t", 1, "a<b>&c", RequestSeq).Bytes());
    EXPECT_NE(sms.find("<destination>1&lt;/destination&gt;</destination><text>a&lt;b&gt;&amp;c</text>"),
              std::string::npos);
    // 17 times "a" (0x61): only 16 go out; the euro sign goes out as "?" (0x3F ^ 0xF3 = 0xCC).
    EXPECT_EQ(ICQEncryptPassStr(std::string(17, 'a')).size(), 16u);
    std::string ident(CreateCLI_IDENT(seq, 1, "\xE2\x82\xAC").Bytes());
    EXPECT_NE(ident.find(Hex("00 02 00 01 CC")), std::string::npos);
    // An oversized message is cut at the buffer's end; the frame still states its length.
    TRawPkt pkt = CreateCLI_SENDMSG(seq, 0, 0, 1, std::string(10000, 'x'));
    EXPECT_EQ(std::tuple(pkt.Len, pkt.Cut, std::string(pkt.Bytes().substr(4, 2))),
              std::tuple(MaxPacketSize, true, Hex("1F FA")));
    EXPECT_TRUE(CreateCLI_SENDSMS(seq, 1, "1", "t", 1, std::string(9000, 'x'), RequestSeq).Cut);
    EXPECT_FALSE(CreateCLI_SENDSMS(seq, 1, "1", "t", 1, std::string(7000, 'x'), RequestSeq).Cut);
}

std::string Tlv(std::uint16_t type, const std::string& value) {
    return std::string{char(type >> 8), char(type), char(value.size() >> 8), char(value.size())} + value;
}

// A FLAP frame: its marker and channel, then sequence, length and data laid out as in a TLV.
std::string Frame(std::uint8_t channel, std::uint16_t seq, const std::string& data) {
    return std::string{char(0x2A), char(channel)} + Tlv(seq, data);
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

const std::string Oversized = "error: Length of incoming packet exceeds maximum supported by protocol";
const std::string Largest(MaxFlapDataSize, 'd');

// The case, the stream and what Assemble gives.
const std::tuple<const char*, std::string, std::vector<std::string>> FrameCases[] = {
    {"TwoFrames",
     Frame(1, 7, Hex("00 00 00 01")) + Frame(2, 8, "snac"),
     {"1/7:" + Hex("00 00 00 01"), "2/8:snac"}},
    {"EmptyFrameBetween", Frame(5, 1, "") + Frame(4, 2, "x"), {"5/1:", "4/2:x"}},
    {"LargestFrame", Frame(2, 3, Largest), {"2/3:" + Largest}},
    {"Truncated", Frame(2, 1, "abc") + Hex("2A 02 00 02 00 05 61"), {"2/1:abc"}},
    {"OversizedAfterAFrame", Frame(2, 1, "ok") + Hex("2A 02 00 02 1F FB"), {"2/1:ok", Oversized}},
    {"OversizedWithoutMarker", Hex("00 02 00 02 FF FF"), {Oversized}},
    {"WithoutMarker",
     Frame(2, 1, "ok") + Hex("2B 02 00 02 00 01 78"),
     {"2/1:ok", "error: Received malformed packet"}},
};

// Whole, byte by byte, and cut in three at every pair of offsets (a step keeps big inputs quick).
TEST(FlapFrames, AreTheSameWhereverTheStreamIsCut) {
    for (const auto& [name, in, expected] : FrameCases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Assemble({in}), expected);
        std::vector<std::string> bytes;
        for (char c : in)
            bytes.emplace_back(1, c);
        EXPECT_EQ(Assemble(bytes), expected);
        std::size_t step = in.size() > 100 ? 997 : 1;
        for (std::size_t a = 0; a <= in.size(); a += step)
            for (std::size_t b = a; b <= in.size(); b += step)
                ASSERT_EQ(Assemble({in.substr(0, a), in.substr(a, b - a), in.substr(b)}), expected)
                    << "cut at " << a << " and " << b;
    }
}

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

std::string TLVStr(TRawPkt& p) {
    std::uint16_t type = 0;
    std::string value = GetTLVStr(p, type);
    return value + "@" + std::to_string(type);
}

std::string TLVInt(TRawPkt& p) {
    std::uint16_t type = 0;
    std::uint32_t value = GetTLVInt(p, type);
    return std::to_string(value) + "@" + std::to_string(type);
}

std::string Snac(TRawPkt& p) {
    auto s = GetSnac(p);
    return std::to_string(s.Family) + "," + std::to_string(s.SubType) + "," + std::to_string(s.Flags) + "," +
           std::to_string(s.ReqID);
}

// Each reader on input that is too short throws and leaves the position where it was; more than a
// buffer is refused.
TEST(Readers, ReadWithinTheDataOrThrowWithoutMoving) {
    // The case, the input, the read and what it gives ("" when it must fail).
    const std::tuple<const char*, std::string, std::function<std::string(TRawPkt&)>, std::string> cases[] = {
        {"Int", Hex("01 02 03 04"), [](auto& p) { return std::to_string(GetInt(p, 4)); }, "16909060"},
        {"LInt", Hex("01 02"), [](auto& p) { return std::to_string(GetLInt(p, 2)); }, "513"},
        {"IntShort", Hex("01 02 03"), [](auto& p) { return std::to_string(GetInt(p, 4)); }, ""},
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
    for (const auto& [name, input, read, expected] : cases) {
        SCOPED_TRACE(name);
        TRawPkt pkt = TRawPkt::FromBytes(input);
        if (expected.empty()) {
            EXPECT_THROW(read(pkt), EICQPacketError);
            EXPECT_EQ(pkt.Len, 0);
        } else {
            EXPECT_EQ(read(pkt), expected);
        }
    }
    EXPECT_THROW(TRawPkt::FromBytes(std::string(MaxPacketSize + 1, 'x')), EICQPacketError);
}

TEST(LoginReplies, GiveTheServiceServerOrTheReasonOrAreRefused) {
    const std::string uin = Tlv(1, "123"), cookie = Tlv(6, "c");
    // The case, the reply, and its kind with, for a redirect, host, port and cookie ("malformed": refused).
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"Redirect", uin + Tlv(5, "bos.example:5191") + Tlv(6, "C00K1E"), "redirect bos.example 5191 C00K1E"},
        {"BadPassword", uin + Tlv(4, "http://x"), "bad password"},
        {"TooOften", uin + Tlv(8, Hex("00 18")), "too often"},
        {"FirstNotUin", Tlv(5, "h:1") + uin + cookie, "malformed"},
        {"SecondUnknown", uin + Tlv(9, "h:1") + cookie, "malformed"},
        {"NoCookie", uin + Tlv(5, "h:1") + Tlv(7, "c"), "malformed"},
        {"PortZero", uin + Tlv(5, "h:0") + cookie, "malformed"},
        {"PortTooBig", uin + Tlv(5, "h:65536") + cookie, "malformed"},
        {"PortNotNumeric", uin + Tlv(5, "h:51x") + cookie, "malformed"},
        {"NoColon", uin + Tlv(5, "h") + cookie, "malformed"},
        {"CutInsideTheCookie", uin + Tlv(5, "h:1") + Hex("00 06 00 09 41"), "malformed"},
        {"Empty", "", "malformed"},
    };
    for (const auto& [name, data, expected] : cases) {
        SCOPED_TRACE(name);
        std::string seen;
        try {
            TLoginReply reply = ParseLoginReply(data);
            static const char* const kinds[] = {"redirect", "bad password", "too often"};
            seen = kinds[reply.Kind];
            if (reply.Kind == TLoginReply::lrRedirect)
                seen += " " + reply.Host + " " + std::to_string(reply.Port) + " " + reply.Cookie;
        } catch (const EICQPacketError& error) {
            EXPECT_STREQ(error.what(), "Received malformed login packet");
            seen = "malformed";
        }
        EXPECT_EQ(seen, expected);
    }
}

// The body of a service answer: TLV 1, its length, chunk size, UIN, then the little-endian fields.
std::string ServiceAnswer(const std::string& rest) {
    return Hex("00 01 00 00  00 00  7B 00 00 00") + rest;
}

std::string SMSAnswer(const std::string& xml) {
    std::string length{char(xml.size()), char(xml.size() >> 8)};
    return ServiceAnswer(Hex("DA 07  02 00  96 00  0A") + std::string(12, '\0') + length + xml);
}

TEST(ServiceResponses, TellTheSMSOutcome) {
    // The case, the answer, and its kind with source, network, id and deliverable for an acknowledgement.
    const std::tuple<const char*, std::string, std::string> cases[] = {
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
    for (const auto& [name, body, expected] : cases) {
        SCOPED_TRACE(name);
        TRawPkt pkt = TRawPkt::FromBytes(body);
        TServiceResponse response = ParseServiceResponse(pkt);
        static const char* const kinds[] = {"other", "offline message", "offline end", "refused", "ack"};
        std::string seen = kinds[response.Kind];
        if (response.Kind == TServiceResponse::srSMSAck)
            seen += " " + response.Source + " " + response.Network + " " + response.MessageId + " " +
                    (response.Deliverable ? "yes" : "no");
        EXPECT_EQ(seen, expected);
    }
    // An answer cut short throws.
    std::string whole = SMSAnswer("<deliverable>Yes</deliverable>");
    for (std::size_t cut : {std::size_t{3}, std::size_t{11}, whole.size() - 1}) {
        TRawPkt pkt = TRawPkt::FromBytes(whole.substr(0, cut));
        EXPECT_THROW(ParseServiceResponse(pkt), EICQPacketError) << "cut at " << cut;
    }
}

TEST(Text, WireTextStatusClassesXMLEntryAndSMSTime) {
    EXPECT_EQ(WireText("a\xC3\xA9\xE2\x82\xAC\xFF"), "a\xE9??"); // e-acute, euro, a stray byte
    EXPECT_EQ(FromWireText("a\xE9"), "a\xC3\xA9");
    EXPECT_EQ(UTF8ToStr("\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(UTF8ToStr("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9"); // not UTF-8: read as 8-bit text
    EXPECT_EQ(UTF8ToStr("\xC0\xAF"), "\xC3\x80\xC2\xAF");   // an overlong form is not UTF-8 either
    // The first status class that matches wins: 0x12 holds bit 0x10, which matches before 0x12's rule.
    const std::pair<std::uint32_t, std::uint32_t> statuses[] = {{0x13, 19}, {0x11, 17}, {0x05, 5},
                                                                {0x12, 17}, {0x01, 1},  {0x100, 0x100},
                                                                {0x20, 32}, {0x04, 5},  {0x80000, 0}};
    for (auto [status, kind] : statuses)
        EXPECT_EQ(StatusToInt(status), kind) << status;
    EXPECT_EQ(GetXMLEntry("a", "</a><a>1</a><a>2</a>"), "1");
    EXPECT_EQ(GetXMLEntry("a", "<a>open"), "");
    EXPECT_EQ(GetSMSTime(std::chrono::system_clock::from_time_t(1796550427)), "06 Dec 2026 09:47:07 GMT");
}

} // namespace
