// What the client reads out of the servers' packets on the way to sign-on and for SMS answers.
#pragma once

#include "icq/RawPacket.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zr::icq {

// The login server's closing frame: where to sign on and with which cookie, or why not.
struct TLoginReply {
    enum TKind { lrRedirect, lrBadPassword, lrTooOftenLogins };
    TKind Kind = lrRedirect;
    std::string Host;
    std::uint16_t Port = 0;
    std::string Cookie;
};

// The data of a channel-4 frame from the login server. Anything but TLV 1 followed by an error
// TLV, or by a "host:port" address and the cookie, throws EICQPacketError("Received malformed
// login packet").
TLoginReply ParseLoginReply(std::string_view data);

// An answer of the ICQ service (family 0x15, subtype 3), as far as the client acts on it.
struct TServiceResponse {
    enum TKind { srOther, srOfflineMessage, srOfflineEnd, srSMSRefused, srSMSAck };
    TKind Kind = srOther;
    std::string Source, Network, MessageId; // of an SMS acknowledgement
    bool Deliverable = false;
};

// Reads the body after the SNAC header; a body cut short throws EICQPacketError.
TServiceResponse ParseServiceResponse(TRawPkt& pkt);

// An SMS reply that came as an incoming message (family 4, subtype 7): the plug-in message names
// "ICQSMS" and carries, after a 32-bit little-endian length, the reply as XML.
struct TSMSReply {
    std::string Source, Sender, Time, Text;
};

// Reads the frame's data; nothing when the message is not an SMS reply.
std::optional<TSMSReply> ParseSMSReply(std::string_view data);

} // namespace zr::icq
