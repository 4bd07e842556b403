// The one rule for showing sent command lines in logs and error texts without their secrets.
#pragma once

#include <string>
#include <string_view>

namespace zr::net {

// Masks the value of HTTP's Authorization and Proxy-Authorization headers, the argument of FTP's
// PASS and ACCT, POP3's PASS and APOP, NNTP's AUTHINFO PASS, the
// initial response of AUTH (SMTP, POP3) and AUTHINFO SASL (NNTP), and every line sent while an
// authentication exchange runs: after AUTH, until the server's answer is no longer a request
// for more (SMTP 334, NNTP 383, POP3 "+ "). Stateful because of that exchange, so each observer
// of a connection's traffic keeps one and shows it both directions.
class TSentLineMasker {
public:
    static constexpr std::string_view Mask = "***";

    // The line as it may be shown.
    std::string Sent(std::string_view line);
    // A line the server sent back.
    void Received(std::string_view line);
    // A new connection: no exchange runs.
    void Reset() { FInExchange = false; }

private:
    bool FInExchange = false;
};

} // namespace zr::net
