#include "support/SSHServerFixture.h"

#include <atomic>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace quillate::testing {

namespace fs = std::filesystem;

namespace {

// "secret" hashed with `openssl passwd -6 -salt quillatesftp secret`.
constexpr const char* PasswordHash =
    "$6$quillatesftp$de1nq4uEsO0a3pdTn94ncZQ.SeYJWm1tevX1FK5Bt6G10KlLVPQQS6mfuQfg487XfsGyUzkxTHxo6s8uIFnyA0";
const char* const Sshd = "/usr/sbin/sshd"; // sshd re-executes itself and insists on an absolute path

void Run(const std::vector<std::string>& argv, const fs::path& output) {
    if (RunProcess(argv, {}, output) != 0)
        throw std::runtime_error(argv[0] + " failed: " + (fs::exists(output) ? ReadTextFile(output) : ""));
}

// Unique between test processes running at once, and between fixtures of one process.
std::string NewUserName() {
    static std::atomic<unsigned> counter{0};
    return "qsftp" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
}

} // namespace

TSSHTestServer::TSSHTestServer()
    : TServerFixture("quillate-sshd"), FHome(FDir.Path() / "home"), FUser(NewUserName()) {
    if (::geteuid() != 0)
        throw std::runtime_error("the SSH test server needs root (sshd, useradd)");
    const fs::path& dir = FDir.Path();
    // The user must reach its home below the temporary folder.
    fs::permissions(dir, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    fs::create_directories(FHome);
    fs::create_directories(Scratch());
    fs::path log = dir / "setup.log";
    std::vector<std::string> add{"/usr/sbin/useradd", "-M", "-d",         FHome.string(), "-s",
                                 "/bin/sh",           "-p", PasswordHash, FUser};
    if (RunProcess(add, {}, log) != 0) {
        // Left by a killed process that had our process id: it is ours to take back.
        RunProcess({"/usr/sbin/userdel", "-f", FUser}, {}, log);
        Run(add, log);
    }
    FUserMade = true;
    const passwd* account = ::getpwnam(FUser.c_str());
    if (account == nullptr)
        throw std::runtime_error("useradd made no user " + FUser);
    FUid = account->pw_uid;
    FGid = account->pw_gid;
    GiveToUser(FHome);

    MakeKey(dir / "hostkey", "", false);
    MakeKey(KeyFile(), "", true);
    std::istringstream pub(ReadTextFile(dir / "hostkey.pub"));
    std::string type, blob;
    pub >> type >> blob;
    FHostKeyText = type + " " + blob;
    Run({"/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f", (dir / "hostkey.pub").string()},
        dir / "fingerprint");
    std::istringstream fingerprint(ReadTextFile(dir / "fingerprint"));
    std::string bits;
    fingerprint >> bits >> FFingerprint;
    if (FFingerprint.rfind("SHA256:", 0) != 0)
        throw std::runtime_error("ssh-keygen printed no fingerprint: " + ReadTextFile(dir / "fingerprint"));
}

TSSHTestServer::~TSSHTestServer() {
    Stop();
    if (FUserMade)
        // -f: a session process sshd left may still run as the user for a moment.
        RunProcess({"/usr/sbin/userdel", "-f", FUser}, {}, FDir.Path() / "setup.log");
}

void TSSHTestServer::MakeKey(const fs::path& path, const std::string& passphrase, bool authorised) {
    fs::remove(path);
    fs::remove(path.string() + ".pub");
    Run({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", passphrase, "-C", "quillate-test", "-f",
         path.string()},
        FDir.Path() / "setup.log");
    if (authorised) {
        std::ofstream keys(FDir.Path() / "authorized_keys", std::ios::app);
        keys << ReadTextFile(path.string() + ".pub");
    }
}

void TSSHTestServer::GiveToUser(const fs::path& path) const {
    if (::chown(path.c_str(), FUid, FGid) != 0)
        throw std::runtime_error("chown " + path.string() + " failed");
}

std::string TSSHTestServer::KnownHostsLine() const {
    return "[127.0.0.1]:" + std::to_string(FPort) + " " + FHostKeyText;
}

void TSSHTestServer::ServeSftpWith(const std::vector<std::string>& command) {
    FSftpCommand.clear();
    for (const auto& word : command)
        FSftpCommand += (FSftpCommand.empty() ? "" : " ") + word;
}

void TSSHTestServer::Start() {
    const fs::path& dir = FDir.Path();
    fs::create_directories("/run/sshd"); // sshd's privilege separation folder
    FPort = StartOnFreePort(FProcess, "sshd", [&](std::uint16_t port) {
        WriteTextFile(dir / "sshd_config",
                      "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " +
                          (dir / "hostkey").string() + "\nPidFile " + (dir / "pid").string() +
                          "\nAuthorizedKeysFile " + (dir / "authorized_keys").string() +
                          (FKeyboardInteractiveOnly
                               ? "\nPasswordAuthentication no\nKbdInteractiveAuthentication yes\nUsePAM yes"
                               : "\nPasswordAuthentication yes\nKbdInteractiveAuthentication no\nUsePAM no") +
                          "\nPubkeyAuthentication yes\nStrictModes no\nPermitRootLogin no\nAllowUsers " +
                          FUser + "\nSubsystem sftp " + FSftpCommand + "\n");
        return ServerOptions({Sshd, "-D", "-e", "-f", dir / "sshd_config"}, port);
    });
}

} // namespace quillate::testing
