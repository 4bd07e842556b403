#include "net/NetErrors.h"

#include "net/ReplyParser.h"

#include <fmt/format.h>

namespace zr::net {

EReplyError::EReplyError(const std::string& message, int code, std::vector<std::string> lines)
    : EServerRefused(message), FCode(code), FLines(std::move(lines)) {}

std::string EReplyError::ReplyText() const {
    return TReply{FCode, FLines, {}}.Text();
}

std::string EReplyError::Reason() const {
    return fmt::format("{} {}", FCode, ReplyText());
}

std::string ESFTPError::StatusText(unsigned long status) {
    switch (status) {
    case EndOfFile:
        return "end of file";
    case NoSuchFile:
        return "no such file";
    case PermissionDenied:
        return "permission denied";
    case Failure:
        return "failure";
    case BadMessage:
        return "bad message";
    case NoConnection:
        return "no connection";
    case ConnectionLost:
        return "connection lost";
    case Unsupported:
        return "operation unsupported";
    case FileAlreadyExists:
        return "file already exists";
    case NotADirectory:
        return "not a folder";
    default:
        return fmt::format("SFTP status {}", status);
    }
}

bool IsTransientDataRefusal(const std::exception& e) {
    if (const auto* reply = dynamic_cast<const EReplyError*>(&e))
        return reply->Code() == 425;
    if (const auto* socket = dynamic_cast<const ESocketError*>(&e)) {
        const std::error_code code = socket->Code();
        return code == std::errc::address_in_use || code == std::errc::address_not_available ||
               code == std::errc::resource_unavailable_try_again;
    }
    return false;
}

bool IsTransientRefusal(const std::exception& e) {
    if (IsTransientDataRefusal(e))
        return true;
    if (const auto* reply = dynamic_cast<const EReplyError*>(&e))
        return reply->Code() == 421 || reply->Code() == 426;
    if (dynamic_cast<const EConnClosedGracefully*>(&e) != nullptr || dynamic_cast<const EServerStalled*>(&e) != nullptr)
        return true;
    if (const auto* socket = dynamic_cast<const ESocketError*>(&e)) {
        const std::error_code code = socket->Code();
        return code == std::errc::connection_reset || code == std::errc::broken_pipe;
    }
    return false;
}

bool IsNameUnavailable(const std::exception& e) {
    if (const auto* reply = dynamic_cast<const EReplyError*>(&e))
        return reply->Code() == 550;
    if (const auto* sftp = dynamic_cast<const ESFTPError*>(&e))
        return sftp->Status() == ESFTPError::NoSuchFile || sftp->Status() == ESFTPError::FileAlreadyExists ||
               sftp->Status() == ESFTPError::NotADirectory;
    return false;
}

bool IsNameTaken(const std::exception& e) {
    if (const auto* reply = dynamic_cast<const EReplyError*>(&e))
        return reply->Code() == 550;
    if (const auto* sftp = dynamic_cast<const ESFTPError*>(&e))
        return sftp->Status() == ESFTPError::FileAlreadyExists;
    return false;
}

std::string FormatNetMessage(std::string_view activity, std::string_view peer, std::string_view reason) {
    if (peer.empty())
        return fmt::format("{}: {}", activity, reason);
    return fmt::format("{} {}: {}", activity, peer, reason);
}

} // namespace zr::net
