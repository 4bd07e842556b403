#include "icq/ServerPackets.h"

#include "icq/ICQText.h"

#include <charconv>

namespace zr::icq {

namespace {

constexpr const char* MalformedLogin = "Received malformed login packet";

constexpr std::uint16_t ResponseOfflineMessage = 0x0041;
constexpr std::uint16_t ResponseOfflineEnd = 0x0042;
constexpr std::uint16_t ResponseInformation = 0x07DA;
constexpr std::uint16_t InformationRefused = 0x0001;
constexpr std::uint16_t InformationSMSAnswer = 0x0096;
constexpr std::uint8_t StatusSuccess = 0x0A;

// The next TLV of the login reply; a TLV cut short makes the whole reply malformed.
std::string NextTLV(TRawPkt& pkt, std::uint16_t& type) {
    try {
        return GetTLVStr(pkt, type);
    } catch (const EICQPacketError&) {
        throw EICQPacketError(MalformedLogin);
    }
}

} // namespace

TLoginReply ParseLoginReply(std::string_view data) {
    if (data.size() > MaxFlapDataSize)
        throw EICQPacketError(MalformedLogin);
    TRawPkt pkt = TRawPkt::FromBytes(data);
    std::uint16_t type = 0;
    NextTLV(pkt, type);
    if (type != 0x01)
        throw EICQPacketError(MalformedLogin);
    TLoginReply reply;
    std::string address = NextTLV(pkt, type);
    if (type == 0x04 || type == 0x08) {
        reply.Kind = type == 0x04 ? TLoginReply::lrBadPassword : TLoginReply::lrTooOftenLogins;
        return reply;
    }
    if (type != 0x05)
        throw EICQPacketError(MalformedLogin);
    reply.Cookie = NextTLV(pkt, type);
    if (type != 0x06)
        throw EICQPacketError(MalformedLogin);
    auto colon = address.find(':');
    if (colon == std::string::npos || colon == 0)
        throw EICQPacketError(MalformedLogin);
    std::string_view port = std::string_view(address).substr(colon + 1);
    unsigned number = 0;
    auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size() || number == 0 || number > 0xFFFF)
        throw EICQPacketError(MalformedLogin);
    reply.Host = address.substr(0, colon);
    reply.Port = static_cast<std::uint16_t>(number);
    return reply;
}

TServiceResponse ParseServiceResponse(TRawPkt& pkt) {
    TServiceResponse response;
    if (GetInt(pkt, 2) != 0x01)
        return response;
    PktSkip(pkt, 8); // TLV length, chunk size, own UIN
    auto type = static_cast<std::uint16_t>(GetLInt(pkt, 2));
    if (type == ResponseOfflineMessage)
        response.Kind = TServiceResponse::srOfflineMessage;
    else if (type == ResponseOfflineEnd)
        response.Kind = TServiceResponse::srOfflineEnd;
    if (type != ResponseInformation)
        return response;
    GetLInt(pkt, 2); // request sequence
    auto subType = static_cast<std::uint16_t>(GetLInt(pkt, 2));
    if (subType == InformationRefused) {
        response.Kind = TServiceResponse::srSMSRefused;
    } else if (subType == InformationSMSAnswer && GetInt(pkt, 1) == StatusSuccess) {
        PktSkip(pkt, 12);
        std::string xml = GetStr(pkt, GetLInt(pkt, 2));
        response.Kind = TServiceResponse::srSMSAck;
        response.Source = UTF8ToStr(GetXMLEntry("source", xml));
        response.Network = UTF8ToStr(GetXMLEntry("network", xml));
        response.MessageId = UTF8ToStr(GetXMLEntry("message_id", xml));
        response.Deliverable = GetXMLEntry("deliverable", xml) == "Yes";
    }
    return response;
}

std::optional<TSMSReply> ParseSMSReply(std::string_view data) {
    constexpr std::string_view plugin = "ICQSMS";
    std::size_t at = data.find(plugin);
    if (at == std::string_view::npos)
        return std::nullopt;
    auto byte = [&](std::size_t i) { return std::uint32_t{static_cast<std::uint8_t>(data[i])}; };
    // The XML is the first length-prefixed block after the plug-in name that starts a tag.
    for (std::size_t i = at + plugin.size(); i + 5 <= data.size(); ++i) {
        std::uint32_t length = byte(i) | byte(i + 1) << 8 | byte(i + 2) << 16 | byte(i + 3) << 24;
        if (length == 0 || length > data.size() - i - 4 || data[i + 4] != '<')
            continue;
        std::string_view xml = data.substr(i + 4, length);
        return TSMSReply{UTF8ToStr(GetXMLEntry("source", xml)), UTF8ToStr(GetXMLEntry("sender", xml)),
                         UTF8ToStr(GetXMLEntry("time", xml)), UTF8ToStr(GetXMLEntry("text", xml))};
    }
    return std::nullopt;
}

} // namespace zr::icq
