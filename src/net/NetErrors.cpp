#include "net/NetErrors.h"

#include "net/ReplyParser.h"

#include <fmt/format.h>

namespace zr::net {

EReplyError::EReplyError(const std::string& message, int code, std::vector<std::string> lines)
    : ENetError(message), FCode(code), FLines(std::move(lines)) {}

std::string EReplyError::ReplyText() const {
    return TReply{FCode, FLines, {}}.Text();
}

std::string FormatNetMessage(std::string_view activity, std::string_view peer, std::string_view reason) {
    if (peer.empty())
        return fmt::format("{}: {}", activity, reason);
    return fmt::format("{} {}: {}", activity, peer, reason);
}

} // namespace zr::net
