// The packets the client sends on the way to sign-on, to send messages and SMS, and to sign off,
// each built byte for byte in one packet buffer. Every builder takes the sender's FLAP sequence
// counter and advances it. Texts are UTF-8 and go out as 8-bit wire text unless stated.
#pragma once

#include "icq/RawPacket.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zr::icq {

// How the client reaches the service; the status packet tells peers what it can accept.
enum TProxyType { ptNone, ptSocks4, ptSocks5, ptHTTPS, ptHTTP };

// The service only ever looked at the first 16 characters of a password.
constexpr std::size_t MaxPasswordLength = 16;

// The password as the identification packet carries it: cut to 16 characters, each XORed with
// the service's fixed key.
std::string ICQEncryptPassStr(std::string_view wirePassword);

TRawPkt CreateCLI_IDENT(std::uint16_t& seq, std::uint32_t uin, std::string_view password);
TRawPkt CreateCLI_COOKIE(std::uint16_t& seq, std::string_view cookie);
TRawPkt CreateCLI_FAMILIES(std::uint16_t& seq);
TRawPkt CreateCLI_RATESREQUEST(std::uint16_t& seq);
TRawPkt CreateCLI_ACKRATES(std::uint16_t& seq);
TRawPkt CreateCLI_SETICBM(std::uint16_t& seq);
TRawPkt CreateCLI_REQINFO(std::uint16_t& seq);
TRawPkt CreateCLI_REQLOCATION(std::uint16_t& seq);
TRawPkt CreateCLI_REQBUDDY(std::uint16_t& seq);
TRawPkt CreateCLI_REQICBM(std::uint16_t& seq);
TRawPkt CreateCLI_REQBOS(std::uint16_t& seq);
TRawPkt CreateCLI_SETUSERINFO(std::uint16_t& seq);
// Each line of the list (a UIN) as a length-prefixed text.
TRawPkt CreateCLI_ADDVISIBLE(std::uint16_t& seq, const std::vector<std::string>& uins);
TRawPkt CreateCLI_ADDINVISIBLE(std::uint16_t& seq, const std::vector<std::string>& uins);
TRawPkt CreateCLI_SETIDLETIME(std::uint16_t& seq, bool idle);
// ip is the local IPv4 address in host order; the direct-connection block tells peers where the
// listening port is.
TRawPkt CreateCLI_SETSTATUS(std::uint16_t& seq, std::uint32_t status, std::uint32_t ip, std::uint32_t port,
                            std::uint32_t cookie, TProxyType proxy);
TRawPkt CreateCLI_READY(std::uint16_t& seq);
// A request to the ICQ service (family 0x15): requestSeq numbers the requests and advances.
TRawPkt CreateCLI_TOICQSRV(std::uint16_t& seq, std::uint32_t uin, std::uint16_t command,
                           std::uint16_t& requestSeq, std::string_view data);
TRawPkt CreateCLI_SENDMSG(std::uint16_t& seq, std::uint32_t cookieHigh, std::uint32_t cookieLow,
                          std::uint32_t uin, std::string_view text);
// smsTime is GetSMSTime's text; the message text travels as UTF-8.
TRawPkt CreateCLI_SENDSMS(std::uint16_t& seq, std::uint32_t uin, std::string_view destination,
                          std::string_view smsTime, std::uint32_t codePage, std::string_view text,
                          std::uint16_t& requestSeq);
TRawPkt CreateCLI_ACKOFFLINEMSGS(std::uint16_t& seq, std::uint32_t uin, std::uint16_t& requestSeq);
// A frame without data: channel 1 signs off, channel 4 closes the login server's connection.
TRawPkt CreateEmptyFlap(std::uint16_t& seq, std::uint8_t channel);
TRawPkt CreateCLI_GOODBYE(std::uint16_t& seq);

} // namespace zr::icq
