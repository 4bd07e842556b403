// POP3 client (RFC 1939, STLS from RFC 2595, CAPA from RFC 2449) for what mail sending needs: log in
// (POP-before-SMTP) and count the mailbox; blocking, Abort and Stop from any thread.
#pragma once

#include "net/ReplySession.h"
#include "net/SMTPClient.h"
#include "net/TCPConnection.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace zr::net {

struct TMailboxStatus {
    std::int64_t Count = 0;
    std::int64_t Size = 0;
};

class TPOP3Client {
public:
    TPOP3Client() = default;
    TPOP3Client(const TPOP3Client&) = delete;
    TPOP3Client& operator=(const TPOP3Client&) = delete;

    // Settings; they take effect at the next Connect.
    std::string Host;
    std::uint16_t Port = 110;
    std::string Username;
    std::string Password;
    bool UseSSL = false;
    TUseTLS UseTLS = TUseTLS::utNoTLSSupport;
    TTLSOptions TLSOptions;
    std::chrono::milliseconds ConnectTimeout{0}; // 0: DefaultConnectTimeout
    std::chrono::milliseconds ReadTimeout{0};    // 0: DefaultReadTimeout
    static constexpr std::chrono::milliseconds DefaultConnectTimeout{30000};
    static constexpr std::chrono::milliseconds DefaultReadTimeout{60000};

    TTCPConnection& Connection() { return FConnection; }

    // Connects, reads the greeting, starts TLS as UseSSL and UseTLS ask and logs in with USER and
    // PASS; a refusal raises EReplyError with the server's text.
    void Connect();
    // STAT: the number of messages and their size in bytes.
    TMailboxStatus Stat();
    // Sends QUIT and closes; never throws.
    void Disconnect() { FSession.Quit(); }
    bool Connected() { return FConnection.Connected(); }
    bool TLSActive() const { return FTLSActive; }
    void Abort() { FSession.Abort(); }
    void Stop() { FSession.Stop(); }
    void ClearStop() { FSession.ClearStop(); }

private:
    const TReply& CommandExpect(std::string_view line, TAnswer answer = TAnswer::taReply);

    TTCPConnection FConnection;
    TReplySession FSession{FConnection, TReplyRules{"POP3", TReplySyntax::rsStatus, false}};
    bool FTLSActive = false;
};

} // namespace zr::net
