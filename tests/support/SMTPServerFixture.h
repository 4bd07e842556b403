// aiosmtpd (tests/servers/smtpd.py) started per test on 127.0.0.1, with the messages it stored.
#pragma once

#include "support/ServerProcess.h"

namespace quillate::testing {

struct TStoredMessage {
    std::string From;
    std::vector<std::string> To;
    // The message as the server received it, dot-stuffing undone.
    std::string Content;
};

class TSMTPTestServer : public TServerFixture {
public:
    TSMTPTestServer() : TServerFixture("quillate-smtp") {}
    void Start();

    // Port() is plain with STARTTLS, AUTH PLAIN and LOGIN; TLSPort() TLS from the first byte;
    // BarePort() plain without STARTTLS, AUTH LOGIN only.
    std::uint16_t TLSPort() const { return FTLSPort; }
    std::uint16_t BarePort() const { return FBarePort; }
    static constexpr const char* User = "mailer";
    static constexpr const char* Password = "s3cret";

    // The messages stored so far, oldest first.
    std::vector<TStoredMessage> Messages() const;

private:
    std::uint16_t FTLSPort = 0;
    std::uint16_t FBarePort = 0;
};

} // namespace quillate::testing
