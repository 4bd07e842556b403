// Parsers of what FTP replies carry: paths, data addresses, times, features, sizes, checksums.
// They take the server's text and never do I/O.
#pragma once

#include "net/ReplyParser.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zr::net {

// The path of a 257 reply: "\"/a \"\"b\"\"\" is current" gives /a "b". A reply without quotes
// yields its first word.
std::optional<std::string> ParseQuotedPath(std::string_view text);

struct TPassiveAddress {
    std::string Address;
    std::uint16_t Port = 0;

    bool operator==(const TPassiveAddress&) const = default;
};

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" with or without the parentheses.
std::optional<TPassiveAddress> ParsePasvReply(std::string_view text);
// "229 Entering Extended Passive Mode (|||port|)"; any delimiter character is allowed.
std::optional<std::uint16_t> ParseEpsvReply(std::string_view text);

// "YYYYMMDDHHMMSS[.fff]" in UTC (RFC 3659 time-val), with up to nine digits of fraction.
std::optional<std::chrono::system_clock::time_point> ParseFTPTimestamp(std::string_view text);
// The whole-second time-val that MFMT and MDTM take.
std::string FormatFTPTimestamp(std::chrono::system_clock::time_point when);

// The feature lines of a 211 FEAT reply, trimmed, without the first and last line.
std::vector<std::string> ParseFeatures(const TReply& reply);
// True when a feature line's first word equals name (case-insensitive).
bool HasFeature(const std::vector<std::string>& features, std::string_view name);

// The checksum of an XCRC reply: the last word of its final line, read as hexadecimal.
std::optional<std::uint32_t> ParseXCRCReply(const TReply& reply);
// "213 1234" → 1234.
std::optional<std::int64_t> ParseSizeReply(std::string_view text);
// The size some servers put in a 150 reply: "... (1234 bytes)".
std::optional<std::int64_t> ParseTransferSize(std::string_view text);

} // namespace zr::net
