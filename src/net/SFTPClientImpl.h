// The inside of TSFTPClient, shared by its two halves: SFTPClientSession.cpp (socket, SSH handshake, host
// key, login, the wait loop) and SFTPClient.cpp (SFTP's packets and requests). Not for use outside them.
#pragma once

#include "net/SFTPClient.h"
#include "net/TextUtil.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <deque>
#include <fmt/format.h>
#include <libssh/libssh.h>
#include <map>
#include <optional>
#include <poll.h>
#include <set>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace zr::net {

namespace sftp_detail {

class TFd {
public:
    explicit TFd(int fd = -1) : FFd(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Reset(); }
    int Get() const { return FFd; }
    int Release() { return std::exchange(FFd, -1); }
    void Reset(int fd = -1) {
        if (FFd >= 0)
            ::close(FFd);
        FFd = fd;
    }

private:
    int FFd;
};

std::string Millis(std::chrono::milliseconds ms);

// Reads the fields of SSH's wire format in order (RFC 4251: integers big-endian, a string as its
// length and its bytes); a field past the end reads as missing.
class TSSHFieldReader {
public:
    explicit TSSHFieldReader(std::string_view data) : FData(data) {}
    bool AtEnd() const { return FData.empty(); }
    std::optional<std::uint32_t> U32() {
        auto value = Unsigned(4);
        return value ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*value)) : std::nullopt;
    }
    std::optional<std::uint64_t> U64() { return Unsigned(8); }
    std::optional<std::string_view> String() {
        auto length = U32();
        if (!length || *length > FData.size())
            return std::nullopt;
        auto text = FData.substr(0, *length);
        FData.remove_prefix(*length);
        return text;
    }

private:
    std::optional<std::uint64_t> Unsigned(std::size_t bytes) {
        if (FData.size() < bytes)
            return std::nullopt;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            value = (value << 8) | static_cast<unsigned char>(FData[i]);
        FData.remove_prefix(bytes);
        return value;
    }

    std::string_view FData;
};

// Appends the fields of SSH's wire format.
inline void PutU32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xff));
}

inline void PutU64(std::string& out, std::uint64_t value) {
    PutU32(out, static_cast<std::uint32_t>(value >> 32));
    PutU32(out, static_cast<std::uint32_t>(value));
}

inline void PutString(std::string& out, std::string_view text) {
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

// SFTP version 3's packet types, open flags and attribute flags (draft-ietf-secsh-filexfer-02).
enum : std::uint8_t {
    FxpInit = 1,
    FxpVersion = 2,
    FxpOpen = 3,
    FxpClose = 4,
    FxpRead = 5,
    FxpWrite = 6,
    FxpLstat = 7,
    FxpFstat = 8,
    FxpSetstat = 9,
    FxpOpendir = 11,
    FxpReaddir = 12,
    FxpRemove = 13,
    FxpMkdir = 14,
    FxpRmdir = 15,
    FxpRealpath = 16,
    FxpStat = 17,
    FxpRename = 18,
    FxpReadlink = 19,
    FxpStatus = 101,
    FxpHandle = 102,
    FxpData = 103,
    FxpName = 104,
    FxpAttrs = 105,
    FxpExtended = 200
};
enum : std::uint32_t { FxfRead = 1, FxfWrite = 2, FxfCreat = 8, FxfTrunc = 0x10 };
enum : std::uint32_t {
    AttrSize = 1,
    AttrUidGid = 2,
    AttrPermissions = 4,
    AttrAcModTime = 8,
    AttrExtended = 0x80000000u
};

// A file's attributes as the server sent them; a field the server left out is absent.
struct TWireAttributes {
    std::optional<std::uint64_t> Size;
    std::optional<std::uint32_t> Permissions;
    std::optional<std::uint32_t> AccessTime, ModifiedTime;
};

// An answer: its type, the request id it answers, and what follows the id.
struct TPacket {
    std::uint8_t Type = 0;
    std::uint32_t Id = 0;
    std::string Body;
};

} // namespace sftp_detail

struct TSFTPClient::TImpl {
    TSFTPClient& Owner;
    explicit TImpl(TSFTPClient& owner) : Owner(owner), Wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

    sftp_detail::TFd Wake; // readable once a stop is requested
    sftp_detail::TFd Socket;
    ssh_session Session = nullptr;
    ssh_channel Channel = nullptr;
    std::string Peer;
    std::string Fingerprint;
    bool Broken = false;
    std::chrono::milliseconds Timeout{TSFTPClient::DefaultReadTimeout};
    std::stop_token StopToken;
    std::optional<std::stop_callback<std::function<void()>>> StopCallback;
    std::vector<char> Buffer;
    std::vector<TRefusedName> Refused;
    std::size_t RefusedCount = 0;
    // What the channel brought that is not yet a whole packet, or not yet taken; answers that came
    // before the one waited for, by request id.
    std::vector<char> Inbox;
    std::size_t InboxStart = 0, InboxEnd = 0;
    std::map<std::uint32_t, sftp_detail::TPacket> Early;
    // Requests whose answers no one waits for any more (a transfer given up): dropped when they come.
    std::set<std::uint32_t> Abandoned;
    std::uint32_t NextId = 0;
    // The server offers OpenSSH's "posix-rename@openssh.com": rename(2), which replaces a file.
    bool PosixRename = false;

    void Log(const std::string& text) const {
        if (Owner.OnRequest)
            Owner.OnRequest(text);
    }

    std::string At(std::string_view activity, const std::string& path) const {
        return fmt::format("{} [{}] on", activity, EscapedName(path));
    }

    [[noreturn]] void ThrowStopped(std::string_view activity) const {
        throw EOperationAborted(FormatNetMessage(activity, Peer, "operation aborted"));
    }

    // A request given up half-way leaves the session out of step: nothing more may be sent on it.
    void Break() {
        Broken = true;
        if (Socket.Get() >= 0)
            ::shutdown(Socket.Get(), SHUT_RDWR);
    }

    // Between two steps of a transfer: a fast link may never make the loop wait, where a stop is seen.
    void CheckStop(std::string_view activity) {
        if (StopToken.stop_requested()) {
            Break();
            ThrowStopped(activity);
        }
    }

    // Before a request: a stop fails it, and a broken session cannot carry it.
    void Ready(std::string_view activity) const {
        if (StopToken.stop_requested())
            ThrowStopped(activity);
        if (Channel == nullptr || Broken)
            throw ENotConnected(
                FormatNetMessage(activity, Peer.empty() ? Owner.PeerText() : Peer,
                                 Broken ? "the session was lost; connect again" : "not connected"));
    }

    // activity names the path already (At).
    void CheckPath(std::string_view activity, const std::string& path) const {
        if (HoldsLineBreakOrNul(path))
            throw EUnsafeCommand(FormatNetMessage(activity, Peer, "the path holds a CR, LF or NUL"));
    }

    // The start of every request on a path: the activity its errors name, the path checked, the session
    // ready, and the request logged as "verb path".
    std::string Begin(std::string_view activity, std::string_view verb, const std::string& path) const {
        std::string named = At(activity, path);
        CheckPath(named, path);
        Ready(named);
        Log(fmt::format("{} {}", verb, EscapedName(path)));
        return named;
    }

    // Waits until the socket can move what libssh has to move, a stop, or the time-out.
    void WaitSocket(std::string_view activity);

    // Runs a libssh call until it no longer answers again (SSH_AGAIN, SSH_AUTH_AGAIN).
    template <class F> int Retry(std::string_view activity, int again, F&& call) {
        for (;;) {
            int rc = call();
            if (rc != again)
                return rc;
            WaitSocket(activity);
        }
    }

    std::string LastError() const { return Session ? Printable(ssh_get_error(Session)) : std::string(); }

    // A failure below SFTP: the session ends.
    [[noreturn]] void FailSession(std::string_view activity, std::string reason = {}) {
        if (reason.empty())
            reason = LastError();
        Break();
        throw ESocketError(FormatNetMessage(activity, Peer, reason.empty() ? "the session failed" : reason),
                           std::make_error_code(std::errc::connection_aborted));
    }

    // An answer SFTP does not allow: the session is out of step.
    [[noreturn]] void FailProtocol(std::string_view activity, std::string_view what) {
        Break();
        throw EProtocolError(FormatNetMessage(activity, Peer, what));
    }

    // The server refused a request with status.
    [[noreturn]] void FailStatus(std::string_view activity, std::uint32_t status) {
        if (Owner.OnReply)
            Owner.OnReply(ESFTPError::StatusText(status));
        throw ESFTPError(FormatNetMessage(activity, Peer, ESFTPError::StatusText(status)), status);
    }

    void ConnectSocket(std::chrono::milliseconds timeout);
    void VerifyHostKey();
    std::string KnownHostsPath() const;
    void Authenticate();
    void StartSftp();
    void CloseSession(bool graceful);

    // The packet layer (SFTPClient.cpp).
    // Sends a request of type with its body and, after it, tail; returns its id.
    std::uint32_t Send(std::string_view activity, std::uint8_t type, std::string_view body,
                       std::string_view tail = {});
    void WriteChannel(std::string_view activity, std::string_view bytes);
    // Moves what the channel holds into Inbox without waiting; false when it held nothing.
    bool PullChannel(std::string_view activity);
    std::optional<sftp_detail::TPacket> TakePacket(std::string_view activity);
    sftp_detail::TPacket NextPacket(std::string_view activity);
    sftp_detail::TPacket Answer(std::string_view activity, std::uint32_t id);
    // An answer that came before the one waited for; answers to given-up requests are dropped.
    void KeepEarly(std::string_view activity, sftp_detail::TPacket packet);
    void Abandon(std::uint32_t id);
    // The answer to id, which must be of type: the server's refusal (any status but OK, or any status
    // where something else was asked for) raised as such, another kind of answer as "without what".
    sftp_detail::TPacket Reply(std::string_view activity, std::uint32_t id, std::uint8_t type,
                               std::string_view what);
    // A request whose answer is a status: a refusal raised.
    void StatusRequest(std::string_view activity, std::uint8_t type, std::string_view body);
    std::string OpenHandle(std::string_view activity, std::uint8_t type, std::string_view body);
    void CloseHandle(std::string_view activity, const std::string& handle);
    void CloseHandleQuietly(const std::string& handle) noexcept;
    sftp_detail::TWireAttributes AttributesRequest(std::string_view activity, std::uint8_t type,
                                                   std::string_view body);
};

} // namespace zr::net
