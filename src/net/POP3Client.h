// POP3 client (RFC 1939, STLS from RFC 2595, CAPA from RFC 2449) for what mail sending needs: log in
// (POP-before-SMTP) and count the mailbox; blocking, Abort from any thread, a stop through its token.
#pragma once

#include "net/MailClient.h"

#include <cstdint>
#include <functional>

namespace zr::net {

struct TMailboxStatus {
    std::int64_t Count = 0;
    std::int64_t Size = 0;
};

class TPOP3Client : public TMailClient {
public:
    TPOP3Client() : TMailClient("POP3", TReplySyntax::rsStatus, 110) {}

    // Connects, reads the greeting, starts TLS as UseSSL and UseTLS ask and logs in with USER and
    // PASS; a refusal raises EReplyError with the server's text.
    void Connect();
    // Called in Connect once TLS is settled, just before the credentials go out: the place to warn that
    // they travel in clear (TLSActive() false) or over an unverified connection.
    std::function<void()> BeforeLogin;
    // STAT: the number of messages and their size in bytes.
    TMailboxStatus Stat();

private:
    const TReply& CommandExpect(std::string_view line, TAnswer answer = TAnswer::taReply);
};

} // namespace zr::net
