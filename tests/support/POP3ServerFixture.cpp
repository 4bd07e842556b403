#include "support/POP3ServerFixture.h"

#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace quillate::testing {

namespace {

// The mail processes run as nobody (uid and gid 65534, as the configuration's userdb says).
void GiveToNobody(const fs::path& path) {
    if (::chown(path.c_str(), 65534, 65534) != 0)
        throw std::runtime_error("cannot give " + path.string() + " to nobody");
}

constexpr const char* Configuration = R"(protocols = pop3
listen = 127.0.0.1
base_dir = DIR/run
state_dir = DIR/state
log_path = DIR/dovecot.log
ssl = yes
ssl_cert = <TLS/server.pem
ssl_key = <TLS/server.key
disable_plaintext_auth = no
auth_failure_delay = 0
mail_location = maildir:~/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN DIR/users
}
userdb {
  driver = static
  args = uid=65534 gid=65534 home=DIR/home/%u
}
service pop3-login {
  inet_listener pop3 {
    port = PORT
  }
  inet_listener pop3s {
    port = SPORT
  }
}
service anvil {
  chroot =
}
)";

} // namespace

void TPOP3TestServer::Start() {
    const fs::path dir = FDir.Path();
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    WriteTextFile(dir / "users", std::string(User) + ":{PLAIN}" + Password + "\n");
    fs::path home = dir / "home" / User;
    for (const char* sub : {"cur", "new", "tmp"})
        fs::create_directories(home / "Maildir" / sub);
    WriteTextFile(home / "Maildir" / "new" / "1.quillate", Message);
    for (const auto& entry : fs::recursive_directory_iterator(dir / "home"))
        GiveToNobody(entry.path());
    GiveToNobody(dir / "home");
    FPort = StartOnFreePort(FProcess, "Dovecot", [&](std::uint16_t port) {
        FTLSPort = FindFreePort();
        std::string text = ReplaceAll(Configuration, "DIR", dir.string());
        text = ReplaceAll(text, "TLS", TLSDir());
        text = ReplaceAll(ReplaceAll(text, "SPORT", std::to_string(FTLSPort)), "PORT", std::to_string(port));
        WriteTextFile(dir / "dovecot.conf", text);
        // Its own log and what it writes before that log opens go to one file.
        return ServerOptions({"/usr/sbin/dovecot", "-F", "-c", dir / "dovecot.conf"}, port, "dovecot.log");
    });
}

} // namespace quillate::testing
