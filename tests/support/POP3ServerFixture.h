// Dovecot's POP3 server started per test suite on 127.0.0.1, with one user holding one message.
#pragma once

#include "support/ServerProcess.h"

namespace quillate::testing {

class TPOP3TestServer : public TServerFixture {
public:
    TPOP3TestServer() : TServerFixture("quillate-pop3") {}
    void Start();

    // Port() is plain with STLS offered, TLSPort() TLS from the first byte.
    std::uint16_t TLSPort() const { return FTLSPort; }
    static constexpr const char* User = "mailer";
    static constexpr const char* Password = "s3cret";
    // The mailbox's one message.
    static constexpr const char* Message = "Subject: waiting\r\n\r\nhello\r\n";

private:
    std::uint16_t FTLSPort = 0;
};

} // namespace quillate::testing
