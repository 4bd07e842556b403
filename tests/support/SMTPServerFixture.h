// aiosmtpd (tests/servers/smtpd.py) started per test on 127.0.0.1, with the messages it stored.
#pragma once

#include "support/ServerProcess.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quillate::testing {

struct TStoredMessage {
    std::string From;
    std::vector<std::string> To;
    // The message as the server received it, dot-stuffing undone.
    std::string Content;
};

class TSMTPTestServer {
public:
    TSMTPTestServer() = default;
    ~TSMTPTestServer() { FProcess.Stop(); }

    // Throws when the server does not come up: a missing server is a failure, never a skip.
    void Start();

    // Plain with STARTTLS, AUTH PLAIN and LOGIN.
    std::uint16_t Port() const { return FPort; }
    // TLS from the first byte.
    std::uint16_t TLSPort() const { return FTLSPort; }
    // Plain without STARTTLS, AUTH LOGIN only.
    std::uint16_t BarePort() const { return FBarePort; }
    static constexpr const char* User = "mailer";
    static constexpr const char* Password = "s3cret";

    // The messages stored so far, oldest first.
    std::vector<TStoredMessage> Messages() const;

private:
    TTempDir FDir{"quillate-smtp"};
    TServerProcess FProcess;
    std::uint16_t FPort = 0;
    std::uint16_t FTLSPort = 0;
    std::uint16_t FBarePort = 0;
};

} // namespace quillate::testing
