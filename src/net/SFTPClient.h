// SFTP client (protocol version 3, as OpenSSH serves it): libssh carries the SSH session, the SFTP packets
// are our own. Every call blocks on the caller's thread, and a stop through the token ends it within a
// moment.
#pragma once

#include "net/FTPClient.h"
#include "net/FTPListParser.h"
#include "net/NetErrors.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace zr::net {

// The server's host key is not the one expected, or not known at all; nothing secret was sent yet.
class EHostKeyError : public ENetError {
public:
    EHostKeyError(const std::string& message, bool changed, std::string fingerprint,
                  std::string knownHostsLine)
        : ENetError(message), FChanged(changed), FFingerprint(std::move(fingerprint)),
          FKnownHostsLine(std::move(knownHostsLine)) {}
    // True when another key was expected for the host: possibly someone in the middle.
    bool Changed() const noexcept { return FChanged; }
    // "SHA256:..." of the key the server showed.
    const std::string& Fingerprint() const noexcept { return FFingerprint; }
    const std::string& KnownHostsLine() const noexcept { return FKnownHostsLine; }

private:
    bool FChanged;
    std::string FFingerprint;
    std::string FKnownHostsLine;
};

// No authentication method the server offers accepted what we have.
class EAuthError : public ENetError {
public:
    using ENetError::ENetError;
};

struct TSFTPAttributes {
    TFTPItemType ItemType = TFTPItemType::ditOther;
    std::int64_t Size = -1;
    std::optional<std::chrono::system_clock::time_point> ModifiedDate;
};

// "SHA256:" and the unpadded base64 of the SHA-256 of a public key blob, as OpenSSH shows it.
std::string SSHKeyFingerprint(std::string_view keyBlob);

class TSFTPClient {
public:
    using TWorkBeginEvent = TFTPClient::TWorkBeginEvent;
    using TWorkEvent = TFTPClient::TWorkEvent;
    using TWorkEndEvent = TFTPClient::TWorkEndEvent;

    TSFTPClient();
    ~TSFTPClient();
    TSFTPClient(const TSFTPClient&) = delete;
    TSFTPClient& operator=(const TSFTPClient&) = delete;

    // Settings; they take effect at the next Connect.
    std::string Host;
    std::uint16_t Port = 22;
    std::string Username;
    // Used for password and keyboard-interactive logins.
    std::string Password;
    // A private key file (OpenSSH or PEM form), tried before the password when set.
    std::string PrivateKeyFile;
    std::string Passphrase;
    // "SHA256:..." the server's key must have; empty: the key must be in KnownHostsFile.
    std::string HostKeyFingerprint;
    // Read only; empty: ~/.ssh/known_hosts.
    std::string KnownHostsFile;
    std::chrono::milliseconds ConnectTimeout{0}; // 0: DefaultConnectTimeout
    std::chrono::milliseconds ReadTimeout{0};    // 0: DefaultReadTimeout
    // MaxLines bounds the entries of one listing, MaxBytes the bytes of their names.
    TListingLimits ListingLimits;
    static constexpr std::size_t MaxNameLength = 1024;
    static constexpr std::chrono::milliseconds DefaultConnectTimeout{30000};
    static constexpr std::chrono::milliseconds DefaultReadTimeout{60000};

    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;
    // Each request in a readable form ("rename /a -> /b"), and the steps of the login; never a secret.
    std::function<void(const std::string& text)> OnRequest;
    // The server's answer where it says more than that the request was done: a refusal's status in
    // words ("no such file"), the folder a realpath names.
    std::function<void(const std::string& text)> OnReply;

    // Connects, checks the host key, logs in and starts SFTP. Throws ESocketError, EHostKeyError,
    // EAuthError, EOperationAborted.
    void Connect();
    // Says goodbye when the session is sound; never throws.
    void Disconnect();
    // False after a stop or a failure that left the session in mid-request.
    bool Connected() const;
    // A stop through the token ends the running call and fails every later one, until another token
    // is set. A call stopped mid-request leaves the session unusable: connect again.
    void SetStopToken(std::stop_token token);
    // The fingerprint of the key the server showed at the last Connect.
    std::string ServerFingerprint() const;
    // "host:port".
    std::string PeerText() const;

    // The absolute form of path; RealPath(".") is the start folder.
    std::string RealPath(const std::string& path);
    // The entries of a folder but "." and ".."; those whose names are unsafe (UnsafeNameReason, or past
    // MaxNameLength) are left out and reported by RefusedNames. Links are not followed; their targets
    // are read. EProtocolError past ListingLimits.
    std::vector<TFTPListItem> List(const std::string& path);
    const std::vector<TRefusedName>& RefusedNames() const;
    std::size_t RefusedNameCount() const;
    // Follows links.
    TSFTPAttributes Stat(const std::string& path);
    TSFTPAttributes LinkStat(const std::string& path);
    // Whole seconds; the access time is kept.
    void SetModTime(const std::string& path, std::chrono::system_clock::time_point when);
    void MakeDir(const std::string& path);
    void RemoveDir(const std::string& path);
    void Delete(const std::string& path);
    // Replaces a file at to where the server offers OpenSSH's rename(2) extension; otherwise fails when
    // to exists (protocol version 3).
    void Rename(const std::string& from, const std::string& to);

    // Writes the remote file's bytes from restartAt on to an open descriptor the caller owns; localName
    // names it in errors. Returns the bytes written.
    std::int64_t Get(const std::string& remote, int file, std::int64_t restartAt,
                     const std::string& localName);
    // startPosition -1 replaces the remote file; otherwise the local file from that offset continues
    // the remote one at the same offset.
    void Put(const std::string& localFile, const std::string& remote, std::int64_t startPosition = -1);
    // The same from an open descriptor the caller owns, read from its current position.
    void Put(int file, const std::string& remote, std::int64_t startPosition, const std::string& localName);

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

} // namespace zr::net
