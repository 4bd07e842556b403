// The HTTP and HTTPS test server (tests/servers/httpd.py) and tinyproxy in front of it, asking for
// basic credentials, started on 127.0.0.1.
#pragma once

#include "support/ServerProcess.h"

namespace quillate::testing {

class THTTPTestServer : public TServerFixture {
public:
    THTTPTestServer() : TServerFixture("quillate-http") {}
    // Output() is then one line a request: "GET /path auth" (or "-" when no Authorization header came).
    void Start();

    // The same routes over TLS, with the certificate of tests/data/net/tls.
    std::uint16_t TLSPort() const { return FTLSPort; }
    static constexpr const char* User = "webuser";
    static constexpr const char* Password = "w3b-s3cret";
    std::uint16_t ProxyPort() const { return FProxyPort; }
    static constexpr const char* ProxyUser = "proxyuser";
    static constexpr const char* ProxyPassword = "pr0xy-s3cret";

private:
    TServerProcess FProxy;
    std::uint16_t FTLSPort = 0;
    std::uint16_t FProxyPort = 0;
};

} // namespace quillate::testing
