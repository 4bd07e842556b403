#include "support/DanteFixture.h"

#include <stdexcept>

namespace quillate::testing {

namespace {

// Dante checks SOCKS5 passwords against the system's accounts.
void EnsureAccount(const TTempDir& dir) {
    if (RunProcess({"/usr/bin/id", "-u", TDanteProxy::User}, dir.Path(), dir.Path() / "id.out") != 0 &&
        RunProcess({"/usr/sbin/useradd", "-M", "-s", "/usr/sbin/nologin", TDanteProxy::User}) != 0)
        throw std::runtime_error("cannot create the SOCKS test account");
    // The password goes through a file so that it never stands on a command line.
    WriteTextFile(dir.Path() / "account", std::string(TDanteProxy::User) + ":" + TDanteProxy::Password + "\n");
    if (RunProcess({"/bin/sh", "-c", "/usr/sbin/chpasswd < account"}, dir.Path()) != 0)
        throw std::runtime_error("cannot set the SOCKS test account's password");
}

} // namespace

void TDanteProxy::Start() {
    EnsureAccount(FDir);
    FPort = StartOnFreePort(FProcess, "danted", [&](std::uint16_t port) {
        const auto config = FDir.Path() / "danted.conf";
        WriteTextFile(config, "logoutput: stderr\ninternal: 127.0.0.1 port = " + std::to_string(port) +
                                  "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: " +
                                  (FStrict ? "username" : "username none") +
                                  "\nuser.privileged: root\nuser.unprivileged: nobody\n"
                                  "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                  "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n");
        return ServerOptions({"/usr/sbin/danted", "-f", config, "-p", FDir.Path() / "danted.pid", "-N", "1"},
                             port);
    });
}

} // namespace quillate::testing
