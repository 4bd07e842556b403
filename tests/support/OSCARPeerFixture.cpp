#include "support/OSCARPeerFixture.h"

#include <algorithm>
#include <thread>

namespace quillate::testing {

void TOSCARPeer::Start() {
    FPort = StartOnFreePort(FProcess, "oscar_peer.py", [&](std::uint16_t port) {
        std::uint16_t servicePort = FindFreePort();
        // Both servers listen before either serves, so the service port answering means both are up.
        TServerOptions options =
            ServerOptions({"/usr/bin/python3", ServersDir() / "oscar_peer.py", "--port", std::to_string(port),
                           "--service-port", std::to_string(servicePort), "--uin", std::to_string(UIN),
                           "--password", FScript.Password, "--record", FDir.Path() / "events", "--mode",
                           FScript.Mode, "--sms", FScript.SMS, "--reach", FScript.Reach},
                          servicePort);
        if (FScript.Split)
            options.Argv.push_back("--split");
        return options;
    });
}

std::vector<std::string> TOSCARPeer::Events() const {
    std::vector<std::string> events;
    // Only whole lines: the peer may be writing the last one.
    std::string text = ReadTextFile(FDir.Path() / "events");
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        events.push_back(text.substr(start, end - start));
    return events;
}

std::vector<std::string> TOSCARPeer::EventNames() const {
    std::vector<std::string> names;
    for (const auto& event : Events()) {
        // Every line starts {"event": "name"
        std::size_t open = event.find('"', event.find(':'));
        names.push_back(event.substr(open + 1, event.find('"', open + 1) - open - 1));
    }
    return names;
}

bool TOSCARPeer::WaitForEvent(const std::string& name, std::chrono::milliseconds timeout) const {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::ranges::count(EventNames(), name) == 0) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace quillate::testing
