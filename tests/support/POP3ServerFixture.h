// Dovecot's POP3 server started per test suite on 127.0.0.1, with one user holding one message.
#pragma once

#include "support/ServerProcess.h"

#include <cstdint>
#include <string>

namespace quillate::testing {

class TPOP3TestServer {
public:
    TPOP3TestServer() = default;
    ~TPOP3TestServer() { FProcess.Stop(); }

    // Throws when the server does not come up: a missing server is a failure, never a skip.
    void Start();

    // Plain with STLS offered.
    std::uint16_t Port() const { return FPort; }
    // TLS from the first byte.
    std::uint16_t TLSPort() const { return FTLSPort; }
    static constexpr const char* User = "mailer";
    static constexpr const char* Password = "s3cret";
    // The mailbox's one message.
    static constexpr const char* Message = "Subject: waiting\r\n\r\nhello\r\n";
    std::string Output() const;

private:
    TTempDir FDir{"quillate-pop3"};
    TServerProcess FProcess;
    std::uint16_t FPort = 0;
    std::uint16_t FTLSPort = 0;
};

} // namespace quillate::testing
