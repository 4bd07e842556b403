#include "support/HTTPServerFixture.h"

namespace quillate::testing {

void THTTPTestServer::Start() {
    const std::string tls = std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/";
    FPort = StartOnFreePort(FProcess, "httpd.py", [&](std::uint16_t port) {
        FTLSPort = FindFreePort();
        TServerOptions options;
        options.Argv = {"/usr/bin/python3",
                        std::string(QUILLATE_TEST_SERVERS_DIR) + "/httpd.py",
                        "--port",
                        std::to_string(port),
                        "--tls-port",
                        std::to_string(FTLSPort),
                        "--cert",
                        tls + "server.pem",
                        "--key",
                        tls + "server.key",
                        "--user",
                        User,
                        "--password",
                        Password};
        options.LogFile = FDir.Path() / "server.log";
        // The TLS listener opens last, so its answering means both are up.
        options.Port = FTLSPort;
        options.StartTimeout = std::chrono::milliseconds(30000);
        return options;
    });
    FProxyPort = StartOnFreePort(FProxy, "tinyproxy", [&](std::uint16_t port) {
        const auto config = FDir.Path() / "tinyproxy.conf";
        WriteTextFile(config, "Port " + std::to_string(port) +
                                  "\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Info\nBasicAuth " +
                                  ProxyUser + " " + ProxyPassword + "\n");
        TServerOptions options;
        options.Argv = {"/usr/bin/tinyproxy", "-d", "-c", config.string()};
        options.LogFile = FDir.Path() / "tinyproxy.log";
        options.Port = port;
        return options;
    });
}

} // namespace quillate::testing
