#include "icq/ClientPackets.h"

#include "icq/ICQText.h"

#include <array>

namespace zr::icq {

namespace {

constexpr std::array<std::uint8_t, 16> PasswordKey{0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
                                                   0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C};

// Four capability identifiers, as the bytes go out.
constexpr std::array<std::uint8_t, 64> Capabilities{
    0x09, 0x46, 0x13, 0x49, 0x4C, 0x7F, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00,
    0x97, 0xB1, 0x27, 0x51, 0x24, 0x3C, 0x43, 0x34, 0xAD, 0x22, 0xD6, 0xAB, 0xF7, 0x3F, 0x14, 0x92,
    0x2E, 0x7A, 0x64, 0x75, 0xFA, 0xDF, 0x4D, 0xC8, 0x88, 0x6F, 0xEA, 0x35, 0x95, 0xFD, 0xB6, 0xDF,
    0x09, 0x46, 0x13, 0x44, 0x4C, 0x7F, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};

struct TFamilyVersion {
    std::uint16_t Family, Version, ToolId;
};
// The families the client uses with their versions; family 2 names a tool of its own.
constexpr std::array<TFamilyVersion, 10> Families{{{0x01, 3, 0x0110},
                                                   {0x13, 2, 0x0110},
                                                   {0x02, 1, 0x0101},
                                                   {0x03, 1, 0x0110},
                                                   {0x15, 1, 0x0110},
                                                   {0x04, 1, 0x0110},
                                                   {0x06, 1, 0x0110},
                                                   {0x09, 1, 0x0110},
                                                   {0x0A, 1, 0x0110},
                                                   {0x0B, 1, 0x0110}}};
constexpr std::uint16_t ToolVersion = 0x047B;

constexpr std::string_view ClientId = "ICQ Inc. - Product of ICQ (TM).2003b.5.56.1.3916.85";
constexpr std::uint16_t IcqCommandSMS = 2000;
constexpr std::uint16_t IcqCommandAckOffline = 62;

std::string_view AsBytes(const std::uint8_t* data, std::size_t n) {
    return {reinterpret_cast<const char*>(data), n};
}

// A frame that carries one SNAC with the given body writer.
template <class TBody>
TRawPkt SnacPacket(std::uint16_t& seq, std::uint16_t family, std::uint16_t subType, TBody body,
                   std::uint32_t reqId = 0) {
    TRawPkt pkt;
    PktInit(pkt, fcSnac, seq);
    PktSnac(pkt, family, subType, 0, reqId);
    body(pkt);
    PktFinal(pkt);
    return pkt;
}

TRawPkt BareSnac(std::uint16_t& seq, std::uint16_t family, std::uint16_t subType) {
    return SnacPacket(seq, family, subType, [](TRawPkt&) {});
}

TRawPkt UinList(std::uint16_t& seq, std::uint16_t subType, const std::vector<std::string>& uins) {
    return SnacPacket(seq, 0x09, subType, [&](TRawPkt& pkt) {
        for (const auto& uin : uins)
            PktLStr(pkt, WireText(uin));
    });
}

} // namespace

std::string ICQEncryptPassStr(std::string_view wirePassword) {
    std::string roasted(wirePassword.substr(0, MaxPasswordLength));
    for (std::size_t i = 0; i < roasted.size(); ++i)
        roasted[i] = static_cast<char>(static_cast<std::uint8_t>(roasted[i]) ^ PasswordKey[i]);
    return roasted;
}

TRawPkt CreateCLI_IDENT(std::uint16_t& seq, std::uint32_t uin, std::string_view password) {
    TRawPkt pkt;
    PktInit(pkt, fcSignOn, seq);
    PktInt(pkt, 1, 4);
    PktTLV(pkt, 0x01, std::to_string(uin));
    PktTLV(pkt, 0x02, ICQEncryptPassStr(WireText(password)));
    PktTLV(pkt, 0x03, ClientId);
    PktTLV(pkt, 0x16, 2, 0x010A);
    PktTLV(pkt, 0x17, 2, 5);
    PktTLV(pkt, 0x18, 2, 37);
    PktTLV(pkt, 0x19, 2, 1);
    PktTLV(pkt, 0x1A, 2, 3728);
    PktTLV(pkt, 0x14, 4, 85);
    PktTLV(pkt, 0x0F, "en");
    PktTLV(pkt, 0x0E, "us");
    PktFinal(pkt);
    return pkt;
}

TRawPkt CreateCLI_COOKIE(std::uint16_t& seq, std::string_view cookie) {
    TRawPkt pkt;
    PktInit(pkt, fcSignOn, seq);
    PktInt(pkt, 1, 4);
    PktTLV(pkt, 0x06, cookie);
    PktFinal(pkt);
    return pkt;
}

TRawPkt CreateCLI_FAMILIES(std::uint16_t& seq) {
    return SnacPacket(seq, 0x01, 0x17, [](TRawPkt& pkt) {
        for (const auto& family : Families) {
            PktInt(pkt, family.Family, 2);
            PktInt(pkt, family.Version, 2);
        }
    });
}

TRawPkt CreateCLI_RATESREQUEST(std::uint16_t& seq) {
    return BareSnac(seq, 0x01, 0x06);
}

TRawPkt CreateCLI_ACKRATES(std::uint16_t& seq) {
    return SnacPacket(seq, 0x01, 0x08, [](TRawPkt& pkt) {
        for (std::uint32_t rateClass = 1; rateClass <= 5; ++rateClass)
            PktInt(pkt, rateClass, 2);
    });
}

TRawPkt CreateCLI_SETICBM(std::uint16_t& seq) {
    return SnacPacket(seq, 0x04, 0x02, [](TRawPkt& pkt) {
        PktInt(pkt, 0, 2);    // channel
        PktInt(pkt, 3, 4);    // flags
        PktInt(pkt, 8000, 2); // largest message
        PktInt(pkt, 999, 2);
        PktInt(pkt, 999, 2);
        PktInt(pkt, 0, 4); // least interval between messages
    });
}

TRawPkt CreateCLI_REQINFO(std::uint16_t& seq) {
    return BareSnac(seq, 0x01, 0x0E);
}

TRawPkt CreateCLI_REQLOCATION(std::uint16_t& seq) {
    return BareSnac(seq, 0x02, 0x02);
}

TRawPkt CreateCLI_REQBUDDY(std::uint16_t& seq) {
    return BareSnac(seq, 0x03, 0x02);
}

TRawPkt CreateCLI_REQICBM(std::uint16_t& seq) {
    return BareSnac(seq, 0x04, 0x04);
}

TRawPkt CreateCLI_REQBOS(std::uint16_t& seq) {
    return BareSnac(seq, 0x09, 0x02);
}

TRawPkt CreateCLI_SETUSERINFO(std::uint16_t& seq) {
    return SnacPacket(seq, 0x02, 0x04, [](TRawPkt& pkt) {
        PktTLV(pkt, 0x05, AsBytes(Capabilities.data(), Capabilities.size()));
    });
}

TRawPkt CreateCLI_ADDVISIBLE(std::uint16_t& seq, const std::vector<std::string>& uins) {
    return UinList(seq, 0x05, uins);
}

TRawPkt CreateCLI_ADDINVISIBLE(std::uint16_t& seq, const std::vector<std::string>& uins) {
    return UinList(seq, 0x07, uins);
}

TRawPkt CreateCLI_SETIDLETIME(std::uint16_t& seq, bool idle) {
    return SnacPacket(seq, 0x01, 0x11, [idle](TRawPkt& pkt) { PktInt(pkt, idle ? 60 : 0, 4); });
}

TRawPkt CreateCLI_SETSTATUS(std::uint16_t& seq, std::uint32_t status, std::uint32_t ip, std::uint32_t port,
                            std::uint32_t cookie, TProxyType proxy) {
    TRawPkt direct;
    PktInitRaw(direct);
    PktInt(direct, ip, 4);
    PktInt(direct, port, 4);
    if (proxy == ptNone)
        PktInt(direct, 4, 1);
    else if (proxy == ptSocks4 || proxy == ptSocks5)
        PktInt(direct, 2, 1);
    PktInt(direct, 8, 2); // protocol version
    PktInt(direct, cookie, 4);
    PktInt(direct, 0x50, 4);
    PktInt(direct, 3, 4);
    for (int i = 0; i < 3; ++i)
        PktInt(direct, 0, 4);
    PktInt(direct, 0, 2);
    return SnacPacket(seq, 0x01, 0x1E, [&](TRawPkt& pkt) {
        PktTLV(pkt, 0x06, 4, status);
        PktTLV(pkt, 0x08, 2, 0);
        PktTLV(pkt, 0x0C, direct.Bytes());
    });
}

TRawPkt CreateCLI_READY(std::uint16_t& seq) {
    return SnacPacket(seq, 0x01, 0x02, [](TRawPkt& pkt) {
        for (const auto& family : Families) {
            PktInt(pkt, family.Family, 2);
            PktInt(pkt, family.Version, 2);
            PktInt(pkt, family.ToolId, 2);
            PktInt(pkt, ToolVersion, 2);
        }
    });
}

TRawPkt CreateCLI_TOICQSRV(std::uint16_t& seq, std::uint32_t uin, std::uint16_t command,
                           std::uint16_t& requestSeq, std::string_view data) {
    TRawPkt block;
    PktInitRaw(block);
    PktLInt(block, static_cast<std::uint32_t>(8 + data.size()), 2);
    PktLInt(block, uin, 4);
    PktLInt(block, command, 2);
    PktLInt(block, requestSeq, 2);
    PktAddArrBuf(block, data);
    // The service pairs its answer with the first request of a connection by this id.
    std::uint32_t reqId = requestSeq == 2 ? 0x00010002 : 0;
    ++requestSeq;
    return SnacPacket(
        seq, 0x15, 0x02, [&](TRawPkt& pkt) { PktTLV(pkt, 0x01, block.Bytes()); }, reqId);
}

TRawPkt CreateCLI_SENDMSG(std::uint16_t& seq, std::uint32_t cookieHigh, std::uint32_t cookieLow,
                          std::uint32_t uin, std::string_view text) {
    TRawPkt body;
    PktInitRaw(body);
    PktInt(body, 0, 4); // character set and subset
    PktStr(body, WireText(text));
    TRawPkt message;
    PktInitRaw(message);
    PktTLV(message, 0x0501, 1, 1);
    PktTLV(message, 0x0101, body.Bytes());
    return SnacPacket(seq, 0x04, 0x06, [&](TRawPkt& pkt) {
        PktInt(pkt, cookieHigh, 4);
        PktInt(pkt, cookieLow, 4);
        PktInt(pkt, 1, 2); // plain-text channel
        PktLStr(pkt, uin);
        PktTLV(pkt, 0x02, message.Bytes());
        PktTLV(pkt, 0x06, 0, 0);
    });
}

TRawPkt CreateCLI_SENDSMS(std::uint16_t& seq, std::uint32_t uin, std::string_view destination,
                          std::string_view smsTime, std::uint32_t codePage, std::string_view text,
                          std::uint16_t& requestSeq) {
    std::string xml = "<icq_sms_message><destination>" + EscapeXMLText(WireText(destination)) +
                      "</destination><text>" + EscapeXMLText(text) + "</text><codepage>" + std::to_string(codePage) +
                      "</codepage><senders_UIN>" + std::to_string(uin) +
                      "</senders_UIN><senders_name>TICQClient</senders_name>"
                      "<delivery_receipt>Yes</delivery_receipt><time>" +
                      WireText(smsTime) + "</time></icq_sms_message>";
    xml += '\0';
    TRawPkt data;
    PktInitRaw(data);
    PktInt(data, 0x8214, 2); // SMS request
    PktInt(data, 0x0001, 2);
    PktInt(data, 0x0016, 2);
    PktAddArrBuf(data, std::string(16, '\0'));
    PktTLV(data, 0x00, xml);
    return CreateCLI_TOICQSRV(seq, uin, IcqCommandSMS, requestSeq, data.Bytes());
}

TRawPkt CreateCLI_ACKOFFLINEMSGS(std::uint16_t& seq, std::uint32_t uin, std::uint16_t& requestSeq) {
    return CreateCLI_TOICQSRV(seq, uin, IcqCommandAckOffline, requestSeq, {});
}

TRawPkt CreateEmptyFlap(std::uint16_t& seq, std::uint8_t channel) {
    TRawPkt pkt;
    PktInit(pkt, channel, seq);
    PktFinal(pkt);
    return pkt;
}

TRawPkt CreateCLI_GOODBYE(std::uint16_t& seq) {
    return CreateEmptyFlap(seq, fcSignOn);
}

} // namespace zr::icq
