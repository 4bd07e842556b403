#include "support/TelnetServerFixture.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace quillate::testing {

namespace {

// Where scripts/bootstrap unpacks busybox-static (it conflicts with Debian's busybox).
constexpr const char* Busybox = "/usr/local/lib/quillate/busybox-static/bin/busybox";

// A login as telnetd runs it on the pty: prompts, a password read without echo, then a shell.
std::string LoginScript(bool echoPassword, const std::string& password) {
    return std::string("#!/bin/sh\n"
                       "printf 'login: '\n"
                       "read -r user\n") +
           (echoPassword ? "" : "stty -echo\n") +
           "printf 'Password: '\n"
           "read -r pass\n" +
           (echoPassword ? "echo \"checking $pass\"\n" : "stty echo\necho\n") +
           "if [ \"$user\" != '" + TTelnetTestServer::User + "' ] || [ \"$pass\" != '" + password +
           "' ]; then echo 'Login incorrect'; exit 1; fi\n"
           "echo \"Welcome $user\"\n"
           "PS1='" + TTelnetTestServer::Prompt + "' exec /bin/sh -i\n";
}

} // namespace

void TTelnetTestServer::Start(bool echoPassword, const std::string& password) {
    const fs::path dir = FDir.Path();
    WriteTextFile(dir / "login.sh", LoginScript(echoPassword, password));
    fs::permissions(dir / "login.sh", fs::perms::owner_all);
    WriteTextFile(dir / "issue", "");
    FPort = StartOnFreePort(FProcess, "busybox telnetd", [&](std::uint16_t port) {
        return ServerOptions({Busybox, "telnetd", "-F", "-K", "-p", std::to_string(port), "-b", "127.0.0.1",
                              "-f", dir / "issue", "-l", dir / "login.sh"},
                             port);
    });
}

int TScriptedTelnetPeer::Accepted() const {
    return static_cast<int>(std::ranges::count(ReadTextFile(FDir.Path() / "connections.log"), '\n'));
}

void TScriptedTelnetPeer::Start(const std::string& scenario) {
    FPort = StartOnFreePort(FProcess, "telnet_peer.py", [&](std::uint16_t port) {
        return ServerOptions({"/usr/bin/python3", ServersDir() / "telnet_peer.py", "--port",
                              std::to_string(port), "--scenario", scenario, "--log",
                              FDir.Path() / "connections.log"},
                             port);
    });
    // The start-up probe is logged a moment after it connected.
    for (int i = 0; i < 200 && Accepted() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (Accepted() == 0)
        throw std::runtime_error("telnet_peer.py did not log its start-up probe:\n" + FProcess.Output());
    FBaseline = Accepted();
}

int TScriptedTelnetPeer::Connections() const {
    return Accepted() - FBaseline;
}

} // namespace quillate::testing
