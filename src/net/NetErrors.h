// Typed failures of the network library; every message names the activity and the peer.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace zr::net {

class ENetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The operating system or the TLS layer reported a failure.
class ESocketError : public ENetError {
public:
    ESocketError(const std::string& message, std::error_code code) : ENetError(message), FCode(code) {}
    std::error_code Code() const noexcept { return FCode; }

private:
    std::error_code FCode;
};

class ETLSError : public ESocketError {
public:
    using ESocketError::ESocketError;
};

class EReadTimeout : public ENetError {
public:
    using ENetError::ENetError;
};

class EConnClosedGracefully : public ENetError {
public:
    using ENetError::ENetError;
};

class EAlreadyConnected : public ENetError {
public:
    using ENetError::ENetError;
};

class ENotConnected : public ENetError {
public:
    using ENetError::ENetError;
};

// The server went silent half-way through a step it had begun (it connected for data and never answered the
// command that asked it to): the session was given up, and the work can be given again on a new one.
class EServerStalled : public ENetError {
public:
    using ENetError::ENetError;
};

// Raised on the worker thread when another thread called Abort.
class EOperationAborted : public ENetError {
public:
    using ENetError::ENetError;
};

// The peer broke the protocol: malformed reply, over-long line, endless multi-line reply.
class EProtocolError : public ENetError {
public:
    using ENetError::ENetError;
};

// A command line holding CR, LF or NUL, which would end the line early and smuggle in another
// command; refused before anything is written, so the session stays usable.
class EUnsafeCommand : public ENetError {
public:
    using ENetError::ENetError;
};

// A local file could not be opened, read or written during a transfer.
class EFileError : public ENetError {
public:
    EFileError(const std::string& message, std::error_code code) : ENetError(message), FCode(code) {}
    std::error_code Code() const noexcept { return FCode; }

private:
    std::error_code FCode;
};

// The server answered and refused the request: the session is sound, what was asked is what failed.
// FTP's refusals and SFTP's share it, so that a caller recovering from one recovers from both.
class EServerRefused : public ENetError {
public:
    using ENetError::ENetError;
    // The refusal as the server gave it: "550 No such file" over FTP, the status in words over SFTP.
    virtual std::string Reason() const = 0;
};

// The server answered with a reply code the operation does not accept.
class EReplyError : public EServerRefused {
public:
    EReplyError(const std::string& message, int code, std::vector<std::string> lines);
    int Code() const noexcept { return FCode; }
    // The reply lines as the server sent them, code prefixes included.
    const std::vector<std::string>& Lines() const noexcept { return FLines; }
    // The server's text without the code prefixes, lines joined by "\n".
    std::string ReplyText() const;
    // The code, a blank, ReplyText.
    std::string Reason() const override;

private:
    int FCode;
    std::vector<std::string> FLines;
};

// The SFTP server answered a request with a status other than success.
class ESFTPError : public EServerRefused {
public:
    // SSH_FX_* of the SFTP drafts. Version 3 has no status for a name already taken (OpenSSH answers
    // Failure) nor for a file where a folder was asked for (OpenSSH answers no such file):
    // FileAlreadyExists and NotADirectory, of the later drafts, are given by a caller that looked and
    // found the name there.
    static constexpr unsigned long EndOfFile = 1, NoSuchFile = 2, PermissionDenied = 3, Failure = 4,
                                   BadMessage = 5, NoConnection = 6, ConnectionLost = 7, Unsupported = 8,
                                   FileAlreadyExists = 11, NotADirectory = 19;

    ESFTPError(const std::string& message, unsigned long status) : EServerRefused(message), FStatus(status) {}
    unsigned long Status() const noexcept { return FStatus; }
    // The status in words.
    std::string Reason() const override { return StatusText(FStatus); }
    static std::string StatusText(unsigned long status);

private:
    unsigned long FStatus;
};

// A message could not be composed: a missing attachment, an unknown character set, text the set
// cannot hold, an address that would break its header.
class EMimeError : public ENetError {
public:
    using ENetError::ENetError;
};

// A refusal that a busy server or a busy machine gives and takes back: no data connection to be had for
// the moment (425, no passive port free; our side out of local ports). Asking again a little later helps.
bool IsTransientDataRefusal(const std::exception& e);
// Those and what a busy server does to work already under way: 421 (too many connections, or going away),
// 426 (data connection closed, transfer aborted), a data connection reset or closed early, a server gone
// silent half-way (EServerStalled). Work that is done again from its start can be given again after these.
bool IsTransientRefusal(const std::exception& e);

// The server refused a name as not there, or as taken where a new one was to go: FTP's 550 (which
// says either), SFTP's no such file, a taken name or a file where a folder was asked for.
bool IsNameUnavailable(const std::exception& e);
// Of those, the ones that may mean the name is taken: FTP's 550 still says either, SFTP's says so only
// where the name was looked up and found.
bool IsNameTaken(const std::exception& e);

// "Connecting to 127.0.0.1:2121: Connection refused"
std::string FormatNetMessage(std::string_view activity, std::string_view peer, std::string_view reason);

} // namespace zr::net
