// Renaming over a file in one step. Version 3 of SFTP, all that libssh2 1.10 speaks, refuses to rename
// onto an existing name, so replacing a file took a remove and a rename, with a moment in which the
// name held nothing. OpenSSH's server offers "posix-rename@openssh.com", which is rename(2) itself;
// libssh2 cannot send an extended request, so a second channel of the session speaks just enough SFTP
// for it: INIT, the server's VERSION with its extensions, and the one request with its status.
#include "net/SFTPClientImpl.h"

#include <cstdint>

namespace zr::net {

using sftp_detail::TSSHFieldReader;

namespace {

constexpr std::uint8_t FxpInit = 1, FxpVersion = 2, FxpStatus = 101, FxpExtended = 200;
constexpr std::string_view PosixRenameName = "posix-rename@openssh.com";
// A VERSION or STATUS packet is a few hundred bytes; anything far larger is not an answer we asked for.
constexpr std::uint32_t LargestAnswer = 64 * 1024;

void PutU32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xff));
}

void PutString(std::string& out, std::string_view text) {
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

// A packet: its length, then the type and the body.
std::string Packet(std::uint8_t type, const std::string& body) {
    std::string out;
    PutU32(out, static_cast<std::uint32_t>(body.size() + 1));
    out.push_back(static_cast<char>(type));
    return out + body;
}

} // namespace

void TSFTPClient::TImpl::WriteRenameChannel(std::string_view activity, const std::string& packet) {
    for (std::size_t sent = 0; sent < packet.size();) {
        auto rc = Retry(activity, [&] {
            return libssh2_channel_write(RenameChannel, packet.data() + sent, packet.size() - sent);
        });
        if (rc < 0)
            Fail(std::string(activity), rc);
        sent += static_cast<std::size_t>(rc);
    }
}

std::string TSFTPClient::TImpl::ReadRenamePacket(std::string_view activity, std::uint8_t& type) {
    auto readExactly = [&](char* into, std::size_t count) {
        while (count > 0) {
            auto rc = Retry(activity, [&] { return libssh2_channel_read(RenameChannel, into, count); });
            if (rc < 0)
                Fail(std::string(activity), rc);
            if (rc == 0) {
                Break();
                throw EProtocolError(FormatNetMessage(activity, Peer, "the server closed the channel"));
            }
            into += rc;
            count -= static_cast<std::size_t>(rc);
        }
    };
    char head[5];
    readExactly(head, sizeof head);
    auto length = TSSHFieldReader(std::string_view(head, 4)).U32().value_or(0);
    if (length == 0 || length > LargestAnswer) {
        Break();
        throw EProtocolError(FormatNetMessage(activity, Peer, fmt::format("an answer of {} bytes", length)));
    }
    type = static_cast<std::uint8_t>(head[4]);
    std::string body(length - 1, '\0');
    readExactly(body.data(), body.size());
    return body;
}

bool TSFTPClient::TImpl::OpenRenameChannel(std::string_view activity) {
    PosixRename = TPosixRename::Absent;
    RenameChannel = RetryPointer(activity, [&] { return libssh2_channel_open_session(Session); });
    if (RenameChannel == nullptr)
        return false; // a server that allows one channel: the version 3 rename serves
    int rc = Retry(activity,
                   [&] { return libssh2_channel_process_startup(RenameChannel, "subsystem", 9, "sftp", 4); });
    std::uint8_t type = 0;
    std::string version;
    if (rc == 0) {
        std::string init;
        PutU32(init, 3);
        WriteRenameChannel(activity, Packet(FxpInit, init));
        version = ReadRenamePacket(activity, type);
    }
    TSSHFieldReader fields(version);
    if (rc == 0 && type == FxpVersion && fields.U32()) {
        while (!fields.AtEnd()) {
            auto name = fields.String();
            if (!name || !fields.String())
                break;
            if (*name == PosixRenameName)
                PosixRename = TPosixRename::Offered;
        }
    }
    if (PosixRename != TPosixRename::Offered)
        CloseRenameChannel();
    return PosixRename == TPosixRename::Offered;
}

bool TSFTPClient::TImpl::TryPosixRename(const std::string& activity, const std::string& from,
                                        const std::string& to) {
    if (PosixRename == TPosixRename::Absent ||
        (PosixRename == TPosixRename::Untried && !OpenRenameChannel(activity)))
        return false;
    std::string request;
    PutU32(request, ++RenameRequestId);
    PutString(request, PosixRenameName);
    PutString(request, from);
    PutString(request, to);
    WriteRenameChannel(activity, Packet(FxpExtended, request));
    std::uint8_t type = 0;
    const std::string answer = ReadRenamePacket(activity, type);
    TSSHFieldReader fields(answer);
    auto id = fields.U32();
    auto status = fields.U32();
    if (type != FxpStatus || id != RenameRequestId || !status) {
        Break();
        throw EProtocolError(
            FormatNetMessage(activity, Peer, "the server's answer to a rename is not a status"));
    }
    if (*status == ESFTPError::Unsupported) {
        PosixRename = TPosixRename::Absent; // offered but turned off: the version 3 rename serves
        CloseRenameChannel();
        return false;
    }
    if (*status != 0) {
        if (Owner.OnReply)
            Owner.OnReply(ESFTPError::StatusText(*status));
        throw ESFTPError(FormatNetMessage(activity, Peer, ESFTPError::StatusText(*status)), *status);
    }
    return true;
}

void TSFTPClient::TImpl::CloseRenameChannel() noexcept {
    auto* channel = std::exchange(RenameChannel, nullptr);
    if (channel == nullptr)
        return;
    if (Broken) {
        // The socket is shut: freeing sends nothing and cannot wait.
        libssh2_channel_free(channel);
        return;
    }
    try {
        Retry("Closing a channel", [&] { return libssh2_channel_free(channel); });
    } catch (...) {
    }
}

} // namespace zr::net
