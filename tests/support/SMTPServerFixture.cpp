#include "support/SMTPServerFixture.h"

#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace quillate::testing {

void TSMTPTestServer::Start() {
    fs::create_directories(FDir.Path() / "mail");
    const std::string tls = std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/";
    FPort = StartOnFreePort(FProcess, "aiosmtpd", [&](std::uint16_t port) {
        FTLSPort = FindFreePort();
        FBarePort = FindFreePort();
        TServerOptions options;
        options.Argv = {"/usr/bin/python3", std::string(QUILLATE_TEST_SERVERS_DIR) + "/smtpd.py",
                        "--port", std::to_string(port), "--tls-port", std::to_string(FTLSPort),
                        "--bare-port", std::to_string(FBarePort), "--dir", (FDir.Path() / "mail").string(),
                        "--cert", tls + "server.pem", "--key", tls + "server.key",
                        "--user", User, "--password", Password};
        options.LogFile = FDir.Path() / "server.log";
        // The listeners open in this order, so the last one answering means all are up.
        options.Port = FBarePort;
        options.StartTimeout = std::chrono::milliseconds(30000);
        return options;
    });
}

std::vector<TStoredMessage> TSMTPTestServer::Messages() const {
    std::vector<TStoredMessage> messages;
    for (int n = 1;; ++n) {
        fs::path envelope = FDir.Path() / "mail" / (std::to_string(n) + ".env");
        if (!fs::exists(envelope))
            return messages;
        TStoredMessage message;
        std::istringstream lines(ReadTextFile(envelope));
        std::getline(lines, message.From);
        for (std::string to; std::getline(lines, to);)
            message.To.push_back(to);
        message.Content = ReadTextFile(FDir.Path() / "mail" / (std::to_string(n) + ".eml"));
        messages.push_back(std::move(message));
    }
}

} // namespace quillate::testing
