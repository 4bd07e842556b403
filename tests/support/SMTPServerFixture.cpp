#include "support/SMTPServerFixture.h"

#include <sstream>

namespace fs = std::filesystem;

namespace quillate::testing {

void TSMTPTestServer::Start() {
    fs::create_directories(FDir.Path() / "mail");
    FPort = StartOnFreePort(FProcess, "aiosmtpd", [&](std::uint16_t port) {
        FTLSPort = FindFreePort();
        FBarePort = FindFreePort();
        // The listeners open in this order, so the last one answering means all are up.
        return ServerOptions({"/usr/bin/python3", ServersDir() / "smtpd.py", "--port", std::to_string(port),
                              "--tls-port", std::to_string(FTLSPort), "--bare-port",
                              std::to_string(FBarePort), "--dir", FDir.Path() / "mail", "--cert",
                              TLSDir() / "server.pem", "--key", TLSDir() / "server.key", "--user", User,
                              "--password", Password},
                             FBarePort);
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
