#include "support/HTTPServerFixture.h"

namespace quillate::testing {

void THTTPTestServer::Start() {
    FPort = StartOnFreePort(FProcess, "httpd.py", [&](std::uint16_t port) {
        FTLSPort = FindFreePort();
        // The TLS listener opens last, so its answering means both are up.
        return ServerOptions({"/usr/bin/python3", ServersDir() / "httpd.py", "--port", std::to_string(port),
                              "--tls-port", std::to_string(FTLSPort), "--cert", TLSDir() / "server.pem",
                              "--key", TLSDir() / "server.key", "--user", User, "--password", Password},
                             FTLSPort);
    });
    FProxyPort = StartOnFreePort(FProxy, "tinyproxy", [&](std::uint16_t port) {
        const auto config = FDir.Path() / "tinyproxy.conf";
        WriteTextFile(config, "Port " + std::to_string(port) +
                                  "\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Info\nBasicAuth " +
                                  ProxyUser + " " + ProxyPassword + "\n");
        return ServerOptions({"/usr/bin/tinyproxy", "-d", "-c", config}, port, "tinyproxy.log");
    });
}

} // namespace quillate::testing
