// SMTP client (RFC 5321 with STARTTLS, RFC 3207, and AUTH PLAIN / LOGIN, RFC 4954); every command
// blocks on the caller's thread, Abort may come from any thread, a stop through its token.
#pragma once

#include "net/MailClient.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zr::net {

enum class TSMTPAuthType { satNone, satDefault };

class TSMTPClient : public TMailClient {
public:
    using TWorkBeginEvent = std::function<void(std::int64_t expectedSize)>;
    using TWorkEvent = std::function<void(std::int64_t bytesSoFar)>;
    using TWorkEndEvent = std::function<void()>;

    TSMTPClient();

    // Settings besides the shared ones; they take effect at the next Connect.
    TSMTPAuthType AuthType = TSMTPAuthType::satNone;
    // EHLO first (HELO when refused); a TLS mode or authentication sends EHLO whatever this says.
    bool UseEhlo = true;
    // Name given in EHLO/HELO; empty: the local address as a literal ("[127.0.0.1]").
    std::string HeloName;
    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;

    // Connects, reads the greeting, says hello and starts TLS as UseSSL and UseTLS ask.
    void Connect();
    // AUTH PLAIN when offered, else AUTH LOGIN; nothing when AuthType is satNone. A refusal raises
    // EReplyError with the server's text.
    void Authenticate();

    // Extensions from the last EHLO reply.
    bool HasExtension(std::string_view keyword) const;
    std::vector<std::string> AuthMechanisms() const;
    // The SIZE extension's limit, when the server gives one.
    std::optional<std::int64_t> MaxMessageSize() const;

    // One message: MAIL, RCPT for each recipient, DATA with the body read from source as it is
    // sent. expectedSize (or -1) only feeds OnWorkBegin. A refused step raises EReplyError after
    // RSET, so the connection can carry the next message.
    void Send(const std::string& from, const std::vector<std::string>& recipients, std::istream& source,
              std::int64_t expectedSize = -1);
    // The same with the body pushed as it is produced (a composed message writing itself).
    void Send(const std::string& from, const std::vector<std::string>& recipients, const TDataProducer& produce,
              std::int64_t expectedSize = -1);
    void MailFrom(const std::string& address);
    void RcptTo(const std::string& address);
    void Data(std::istream& source, std::int64_t expectedSize = -1);
    void Data(const TDataProducer& produce, std::int64_t expectedSize = -1);
    void Reset();
    const TReply& LastReply() const { return FSession.LastReply(); }

private:
    const TReply& CommandExpect(std::string_view line, std::initializer_list<int> codes);
    void Hello(bool ehlo);
    void CheckAddress(const std::string& address) const;

    std::vector<std::string> FExtensions; // EHLO lines after the first, without the code
};

} // namespace zr::net
