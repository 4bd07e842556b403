// OpenSSH's sshd started per test on 127.0.0.1 with a host key of its own, serving SFTP to a system
// user made for it (password and ed25519 key logins). Needs root: sshd and useradd do.
#pragma once

#include "support/ServerProcess.h"

namespace quillate::testing {

class TSSHTestServer : public TServerFixture {
public:
    TSSHTestServer();
    // Stops sshd and removes the user.
    ~TSSHTestServer();
    void Start();
    // Before Start: logins by password are not offered, keyboard-interactive through PAM is.
    void OfferKeyboardInteractiveOnly() { FKeyboardInteractiveOnly = true; }
    // Before Start: the sftp subsystem is this command, run as the user in its home, instead of sshd's
    // internal-sftp. sshd hands the line to the user's shell: the words hold no spaces.
    void ServeSftpWith(const std::vector<std::string>& command);

    const std::string& User() const { return FUser; }
    static constexpr const char* Password = "secret";
    // The user's private key (no passphrase), authorised by the server.
    std::filesystem::path KeyFile() const { return FDir.Path() / "userkey"; }
    // The host key's fingerprint as `ssh-keygen -l -E sha256` prints it ("SHA256:...").
    const std::string& HostKeyFingerprint() const { return FFingerprint; }
    // The line of a known_hosts file that names this server with its key.
    std::string KnownHostsLine() const;
    // The user's home and SFTP start folder, which the user may write.
    const std::filesystem::path& Home() const { return FHome; }
    // A fresh folder the tests may use for their own files.
    std::filesystem::path Scratch() const { return FDir.Path() / "scratch"; }

    // Makes an ed25519 key pair at path (and path + ".pub"); authorised adds it to the user's keys.
    void MakeKey(const std::filesystem::path& path, const std::string& passphrase, bool authorised);
    // Gives a file or folder below the home to the user, as if the user had made it.
    void GiveToUser(const std::filesystem::path& path) const;

private:
    std::filesystem::path FHome;
    std::string FUser;
    unsigned FUid = 0;
    unsigned FGid = 0;
    bool FUserMade = false;
    std::string FFingerprint;
    std::string FHostKeyText;
    bool FKeyboardInteractiveOnly = false;
    std::string FSftpCommand = "internal-sftp";
};

} // namespace quillate::testing
