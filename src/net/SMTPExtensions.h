// What a server's EHLO reply says about it: the extension lines, the AUTH mechanisms and the SIZE
// limit; read from the reply alone, so the hostile-input tests reach it without a connection.
#pragma once

#include "net/ReplyParser.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zr::net {

// The lines of an EHLO reply after the first (which names the server), without their code.
std::vector<std::string> EhloExtensions(const TReply& reply);
bool OffersExtension(const std::vector<std::string>& extensions, std::string_view keyword);
// The mechanisms of every AUTH line in order, each once whatever its letter case.
std::vector<std::string> AuthMechanismsOf(const std::vector<std::string>& extensions);
// The SIZE extension's limit when the server gives a positive one that fits 64 bits.
std::optional<std::int64_t> MaxMessageSizeOf(const std::vector<std::string>& extensions);

} // namespace zr::net
