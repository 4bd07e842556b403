// The inside of TSFTPClient, shared by its two halves: SFTPClientSession.cpp (socket, SSH handshake, host
// key, login, the wait loop) and SFTPClient.cpp (the SFTP requests). Not for use outside them.
#pragma once

#include "net/SFTPClient.h"
#include "net/TextUtil.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <fmt/format.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <optional>
#include <poll.h>
#include <string_view>
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

// Reads the fields of SSH's wire format in order (RFC 4251: uint32 big-endian, string as its length
// and its bytes); a field past the end reads as missing.
class TSSHFieldReader {
public:
    explicit TSSHFieldReader(std::string_view data) : FData(data) {}
    bool AtEnd() const { return FData.empty(); }
    std::optional<std::uint32_t> U32() {
        if (FData.size() < 4)
            return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i)
            value = (value << 8) | static_cast<unsigned char>(FData[i]);
        FData.remove_prefix(4);
        return value;
    }
    std::optional<std::string_view> String() {
        auto length = U32();
        if (!length || *length > FData.size())
            return std::nullopt;
        auto text = FData.substr(0, *length);
        FData.remove_prefix(*length);
        return text;
    }

private:
    std::string_view FData;
};

} // namespace sftp_detail

struct TSFTPClient::TImpl {
    TSFTPClient& Owner;
    explicit TImpl(TSFTPClient& owner) : Owner(owner), Wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

    sftp_detail::TFd Wake; // readable once a stop is requested
    sftp_detail::TFd Socket;
    LIBSSH2_SESSION* Session = nullptr;
    LIBSSH2_SFTP* Sftp = nullptr;
    std::string Peer;
    std::string Fingerprint;
    bool Broken = false;
    std::chrono::milliseconds Timeout{TSFTPClient::DefaultReadTimeout};
    std::stop_token StopToken;
    std::optional<std::stop_callback<std::function<void()>>> StopCallback;
    std::vector<char> Buffer;
    std::vector<TRefusedName> Refused;
    std::size_t RefusedCount = 0;
    // The second channel that carries OpenSSH's rename over a file (SFTPPosixRename.cpp).
    enum class TPosixRename { Untried, Offered, Absent };
    TPosixRename PosixRename = TPosixRename::Untried;
    LIBSSH2_CHANNEL* RenameChannel = nullptr;
    std::uint32_t RenameRequestId = 0;

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
        if (Session == nullptr || Broken)
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

    // Waits until the socket can move what libssh2 waits for, a stop, or the time-out.
    void WaitSocket(std::string_view activity) {
        int directions = libssh2_session_block_directions(Session);
        short events = 0;
        if (directions & LIBSSH2_SESSION_BLOCK_INBOUND)
            events |= POLLIN;
        if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND)
            events |= POLLOUT;
        if (events == 0)
            events = POLLIN;
        pollfd fds[2] = {{Socket.Get(), events, 0}, {Wake.Get(), POLLIN, 0}};
        int n;
        do
            n = ::poll(fds, 2, static_cast<int>(std::min<std::int64_t>(Timeout.count(), INT_MAX)));
        while (n < 0 && errno == EINTR);
        if (StopToken.stop_requested()) {
            Break();
            ThrowStopped(activity);
        }
        if (n == 0) {
            Break();
            throw EReadTimeout(
                FormatNetMessage(activity, Peer, "no answer for " + sftp_detail::Millis(Timeout)));
        }
    }

    // Runs a libssh2 call until it no longer asks to wait.
    template <class F> auto Retry(std::string_view activity, F&& call) {
        for (;;) {
            auto rc = call();
            if (rc != LIBSSH2_ERROR_EAGAIN)
                return rc;
            WaitSocket(activity);
        }
    }

    // A request that answers with a status only: its failure raised.
    template <class F> void Request(const std::string& activity, F&& call) {
        if (auto rc = Retry(activity, std::forward<F>(call)); rc < 0)
            Fail(activity, rc);
    }

    // The same for calls that answer with a pointer, null when failed or waiting.
    template <class F> auto RetryPointer(std::string_view activity, F&& call) {
        for (;;) {
            auto p = call();
            if (p != nullptr || libssh2_session_last_errno(Session) != LIBSSH2_ERROR_EAGAIN)
                return p;
            WaitSocket(activity);
        }
    }

    std::string LastError() const {
        char* message = nullptr;
        int length = 0;
        libssh2_session_last_error(Session, &message, &length, 0);
        return Printable(
            std::string_view(message ? message : "", static_cast<std::size_t>(std::max(length, 0))));
    }

    // A failed SFTP request; a failure below SFTP ends the session.
    [[noreturn]] void Fail(const std::string& activity, long long rc) {
        if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL && Sftp != nullptr) {
            unsigned long status = libssh2_sftp_last_error(Sftp);
            if (Owner.OnReply)
                Owner.OnReply(ESFTPError::StatusText(status));
            throw ESFTPError(FormatNetMessage(activity, Peer, ESFTPError::StatusText(status)), status);
        }
        std::string reason = LastError();
        Break();
        throw ESocketError(
            FormatNetMessage(activity, Peer, reason.empty() ? fmt::format("error {}", rc) : reason),
            std::make_error_code(std::errc::connection_aborted));
    }

    void ConnectSocket(std::chrono::milliseconds timeout);
    void VerifyHostKey();
    std::string KnownHostsPath() const;
    void Authenticate();
    void CloseSession(bool graceful);

    // false: the server does not offer the rename that replaces a file, or allows no second channel.
    bool TryPosixRename(const std::string& activity, const std::string& from, const std::string& to);
    bool OpenRenameChannel(std::string_view activity);
    void WriteRenameChannel(std::string_view activity, const std::string& packet);
    std::string ReadRenamePacket(std::string_view activity, std::uint8_t& type);
    void CloseRenameChannel() noexcept;

    LIBSSH2_SFTP_HANDLE* Open(const std::string& activity, const std::string& path, unsigned long flags,
                              long mode, int type) {
        return RetryPointer(activity, [&] {
            return libssh2_sftp_open_ex(Sftp, path.data(), static_cast<unsigned>(path.size()), flags, mode,
                                        type);
        });
    }

    // Closes a handle, reporting what the server said (a late write error shows here).
    void Close(const std::string& activity, LIBSSH2_SFTP_HANDLE*& handle) {
        auto* h = std::exchange(handle, nullptr);
        if (int rc = Retry(activity, [&] { return libssh2_sftp_close_handle(h); }); rc < 0)
            Fail(activity, rc);
    }

    void CloseQuietly(LIBSSH2_SFTP_HANDLE*& handle) noexcept {
        auto* h = std::exchange(handle, nullptr);
        if (h == nullptr)
            return;
        if (Broken) {
            // The socket is shut: the call fails at once and frees what it can.
            libssh2_sftp_close_handle(h);
            return;
        }
        try {
            Retry("Closing a file", [&] { return libssh2_sftp_close_handle(h); });
        } catch (...) {
        }
    }

    LIBSSH2_SFTP_ATTRIBUTES StatRequest(const std::string& activity, const std::string& path, int type) {
        LIBSSH2_SFTP_ATTRIBUTES attributes{};
        int rc = Retry(activity, [&] {
            return libssh2_sftp_stat_ex(Sftp, path.data(), static_cast<unsigned>(path.size()), type,
                                        &attributes);
        });
        if (rc < 0)
            Fail(activity, rc);
        return attributes;
    }

    // One answer to every hidden prompt: the password; shown prompts (a user name) get nothing.
    static void AnswerPrompts(const char*, int, const char*, int, int count,
                              const LIBSSH2_USERAUTH_KBDINT_PROMPT* prompts,
                              LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract);
};

} // namespace zr::net
