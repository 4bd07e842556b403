// The packets the client sends, against bytes worked out by hand from the protocol's layout.
#include "icq/ClientPackets.h"

#include "IcqTestBytes.h"

#include <functional>
#include <gtest/gtest.h>

using namespace zr::icq;

namespace {

struct TPacketCase {
    const char* Name;
    std::function<TRawPkt(std::uint16_t&)> Build;
    std::uint16_t Seq;
    std::string Expected;
};

std::uint16_t RequestSeq = 2;

// "secret" XORed with the password key F3 26 81 C4 39 86: 73^F3 65^26 63^81 72^C4 65^39 74^86.
const std::string SecretRoasted = "80 43 E2 B6 5C F2";
const std::string ClientIdHex =
    "49 43 51 20 49 6e 63 2e 20 2d 20 50 72 6f 64 75 63 74 20 6f 66 20 49 43 51 20 28"
    "54 4d 29 2e 32 30 30 33 62 2e 35 2e 35 36 2e 31 2e 33 39 31 36 2e 38 35";
const std::string Capabilities = "09 46 13 49 4C 7F 11 D1 82 22 44 45 53 54 00 00"
                                 "97 B1 27 51 24 3C 43 34 AD 22 D6 AB F7 3F 14 92"
                                 "2E 7A 64 75 FA DF 4D C8 88 6F EA 35 95 FD B6 DF"
                                 "09 46 13 44 4C 7F 11 D1 82 22 44 45 53 54 00 00";
const std::string SmsXml = "<icq_sms_message><destination>+4412345</destination><text>Hi \xC3\xA9</text>"
                           "<codepage>1252</codepage><senders_UIN>123</senders_UIN>"
                           "<senders_name>TICQClient</senders_name><delivery_receipt>Yes</delivery_receipt>"
                           "<time>06 Dec 2026 09:47:07 GMT</time></icq_sms_message>";

const TPacketCase Packets[] = {
    {"Identification", [](auto& seq) { return CreateCLI_IDENT(seq, 123, "secret"); }, 0x1234,
     Hex("2A 01 12 34 00 7E"    // FLAP sign-on channel, sequence, 126 bytes
         "00 00 00 01"          // version 1
         "00 01 00 03 31 32 33" // TLV 1: UIN "123"
         "00 02 00 06" +
         SecretRoasted +                                           // TLV 2: the roasted password
         "00 03 00 33" + ClientIdHex +                             // TLV 3: client id, 51 bytes
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
         "00 05 00 40" +
         Capabilities)}, // TLV 5: 64 bytes of capabilities
    {"MessageWrapsTheSequence",
     [](auto& seq) { return CreateCLI_SENDMSG(seq, 0, 0xABCDEF, 456, "H\xC3\xA9\xE2\x82\xAC"); }, 0xFFFF,
     Hex("2A 02 FF FF 00 30  00 04 00 06 00 00 00 00 00 00" // FLAP 48 bytes, SNAC (4, 6)
         "00 00 00 00 00 AB CD EF  00 01  03 34 35 36"      // cookie, channel 1, UIN "456"
         "00 02 00 10  05 01 00 01 01"                      // TLV 2 { TLV 0x0501 = 1
         "01 01 00 07  00 00 00 00  48 E9 3F" // TLV 0x0101 = charset 0, "H", e-acute, euro as "?" }
         "00 06 00 00")},                     // empty TLV 6
    {"SMSRequest",
     [](auto& seq) {
         RequestSeq = 2;
         return CreateCLI_SENDSMS(seq, 123, "+4412345", "06 Dec 2026 09:47:07 GMT", 1252, "Hi \xC3\xA9",
                                  RequestSeq);
     },
     0x0100,
     Hex("2A 02 01 00 01 36  00 15 00 02 00 00 00 01 00 02" // FLAP 310 bytes, SNAC (0x15, 2) id 0x00010002
         "00 01 01 28  26 01"                               // TLV 1 of 296 bytes; LE length of the rest, 294
         "7B 00 00 00  D0 07  02 00"                        // LE: UIN 123, command 2000, request 2
         "82 14 00 01 00 16  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00" // SMS request, 16 zeros
         "00 00 01 04") +
         SmsXml + std::string(1, '\0')}, // TLV 0: 260 bytes of XML and its zero
    {"AckOfflineMessagesAfterTheFirstRequest",
     [](auto& seq) {
         RequestSeq = 3;
         return CreateCLI_ACKOFFLINEMSGS(seq, 123, RequestSeq);
     },
     0,
     Hex("2A 02 00 00 00 18  00 15 00 02 00 00 00 00 00 00  00 01 00 0A  08 00  7B 00 00 00  3E 00  03 00")},
};

class ClientPackets : public ::testing::TestWithParam<TPacketCase> {};

TEST_P(ClientPackets, MatchTheHandCheckedBytesAndAdvanceTheSequence) {
    std::uint16_t seq = GetParam().Seq;
    TRawPkt pkt = GetParam().Build(seq);
    EXPECT_EQ(pkt.Bytes(), GetParam().Expected);
    EXPECT_EQ(seq, static_cast<std::uint16_t>(GetParam().Seq + 1));
}

INSTANTIATE_TEST_SUITE_P(Table, ClientPackets, ::testing::ValuesIn(Packets),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(ClientPackets, EveryServiceRequestAdvancesTheRequestSequence) {
    std::uint16_t seq = 0;
    RequestSeq = 2;
    CreateCLI_SENDSMS(seq, 1, "1", "t", 1, "x", RequestSeq);
    EXPECT_EQ(RequestSeq, 3);
}

TEST(ClientPackets, SMSTextAndNumberCannotEndTheirElements) {
    std::uint16_t seq = 0;
    const std::string bytes(CreateCLI_SENDSMS(seq, 1, "1</destination>", "t", 1, "a<b>&c", RequestSeq).Bytes());
    EXPECT_NE(bytes.find("<destination>1&lt;/destination&gt;</destination><text>a&lt;b&gt;&amp;c</text>"),
              std::string::npos);
}

TEST(ClientPackets, PasswordIsCutTo16CharactersAndWideCharactersBecomeQuestionMarks) {
    // 17 times "a" (0x61): only 16 go out; the euro sign goes out as "?" (0x3F ^ 0xF3 = 0xCC).
    EXPECT_EQ(ICQEncryptPassStr(std::string(17, 'a')).size(), 16u);
    std::uint16_t seq = 0;
    std::string ident(CreateCLI_IDENT(seq, 1, "\xE2\x82\xAC").Bytes());
    EXPECT_NE(ident.find(Hex("00 02 00 01 CC")), std::string::npos);
}

TEST(ClientPackets, AnOversizedMessageIsCutAtTheBufferEnd) {
    std::uint16_t seq = 0;
    TRawPkt pkt = CreateCLI_SENDMSG(seq, 0, 0, 1, std::string(10000, 'x'));
    EXPECT_EQ(pkt.Len, MaxPacketSize);
    EXPECT_TRUE(pkt.Cut);
    EXPECT_TRUE(CreateCLI_SENDSMS(seq, 1, "1", "t", 1, std::string(9000, 'x'), RequestSeq).Cut);
    EXPECT_FALSE(CreateCLI_SENDSMS(seq, 1, "1", "t", 1, std::string(7000, 'x'), RequestSeq).Cut);
    EXPECT_EQ(Hex("1F FA"), std::string(pkt.Bytes().substr(4, 2))); // the frame still states its length
}

} // namespace
