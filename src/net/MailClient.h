// What the mail clients (SMTP, POP3, NNTP) share: the connection's settings, its opening with implicit
// TLS, the switch to TLS when the server agrees to it, and the stop; blocking on the caller's
// thread, Abort from any thread, and a stop through its token.
#pragma once

#include "net/ReplySession.h"
#include "net/TCPConnection.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace zr::net {

// How a mail connection uses TLS; the names are those the e-mail settings store.
enum class TUseTLS {
    utNoTLSSupport,    // plain unless UseSSL asks for implicit TLS
    utUseImplicitTLS,  // TLS from the first byte (SMTPS, POP3S)
    utUseRequireTLS,   // STARTTLS, or fail before any credentials are sent
    utUseExplicitTLS,  // STARTTLS when the server offers it, else plain
};

class TMailClient {
public:
    TMailClient(const TMailClient&) = delete;
    TMailClient& operator=(const TMailClient&) = delete;

    // Settings; they take effect at the next Connect.
    std::string Host;
    std::uint16_t Port;
    std::string Username;
    std::string Password;
    // Implicit TLS, the same as utUseImplicitTLS.
    bool UseSSL = false;
    TUseTLS UseTLS = TUseTLS::utNoTLSSupport;
    TTLSOptions TLSOptions;
    std::chrono::milliseconds ConnectTimeout{0}; // 0: DefaultConnectTimeout
    std::chrono::milliseconds ReadTimeout{0};    // 0: DefaultReadTimeout
    static constexpr std::chrono::milliseconds DefaultConnectTimeout{30000};
    static constexpr std::chrono::milliseconds DefaultReadTimeout{60000};
    // For a user who asked for no limit: ten years outlasts any wait, and a deadline that far
    // still fits the steady clock (its maximum would overflow it). Abort and a stop still end the wait.
    static constexpr std::chrono::milliseconds NoTimeLimit = std::chrono::hours(24 * 365 * 10);

    // The connection, for attaching the protocol log.
    TTCPConnection& Connection() { return FConnection; }
    // Sends QUIT and closes; never throws.
    void Disconnect();
    bool Connected() { return FConnection.Connected(); }
    bool TLSActive() const { return FTLSActive; }
    void Abort() { FSession.Abort(); }
    void SetStopToken(std::stop_token token) { FSession.SetStopToken(std::move(token)); }

protected:
    TMailClient(std::string_view protocol, TReplySyntax syntax, std::uint16_t defaultPort);
    ~TMailClient() = default;

    // Connects and starts TLS at once when it is implicit; the greeting is the caller's to read.
    void Open();
    // STARTTLS (or STLS) is to be asked for: TLS is wanted and not yet on.
    bool WantsStartTLS() const;
    // The server agreed to start TLS.
    void StartTLS();
    // The server does not offer to start TLS: fine unless TLS is required.
    void StartTLSNotOffered(std::string_view command) const;

    TTCPConnection FConnection;
    TReplySession FSession;
    bool FTLSActive = false;
};

} // namespace zr::net
