// The SFTP client against OpenSSH's sshd: logins, host keys, transfers with resume, the single
// operations, and stops.
#include "net/SFTPClient.h"

#include "support/SSHServerFixture.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace zr::net;
using namespace quillate::testing;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Property;
using ::testing::Throws;
using ::testing::ThrowsMessage;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

class SFTPClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Server = std::make_unique<TSSHTestServer>();
        Server->Start();
        Server->MakeKey(Server->Scratch() / "pass-key", "key-passphrase", true);
        Server->MakeKey(Server->Scratch() / "stranger-key", "", false);
    }
    static void TearDownTestSuite() { Server.reset(); }

    // A client of server (the suite's own unless given) that trusts its key by its fingerprint, logging
    // its requests into Requests.
    std::unique_ptr<TSFTPClient> NewClient(const TSSHTestServer& server = *Server) {
        auto client = std::make_unique<TSFTPClient>();
        client->Host = "127.0.0.1";
        client->Port = server.Port();
        client->Username = server.User();
        client->Password = TSSHTestServer::Password;
        client->HostKeyFingerprint = server.HostKeyFingerprint();
        client->ReadTimeout = std::chrono::seconds(10);
        client->OnRequest = [this](const std::string& text) { Requests += text + "\n"; };
        return client;
    }
    std::unique_ptr<TSFTPClient> Connected() {
        auto client = NewClient();
        client->Connect();
        return client;
    }
    std::string Remote(const std::string& name) const { return (Server->Home() / name).string(); }
    static std::string Download(TSFTPClient& client, const std::string& remote, const fs::path& local,
                                std::int64_t from) {
        struct TFile {
            int Fd;
            ~TFile() { ::close(Fd); }
        } file{::open(local.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (from > 0 ? O_APPEND : O_TRUNC), 0644)};
        EXPECT_GE(file.Fd, 0);
        client.Get(remote, file.Fd, from, local.string());
        return ReadTextFile(local);
    }

    static inline std::unique_ptr<TSSHTestServer> Server;
    std::string Requests;
};

// Where the server asks through keyboard-interactive (PAM) instead of for a password, the stored password
// answers it, and a wrong one is refused.
TEST_F(SFTPClientTest, LogsInWithPasswordOrKeyAndSaysWhyNot) {
    TSSHTestServer pam;
    pam.OfferKeyboardInteractiveOnly();
    pam.Start();
    struct TCase {
        const char* Name;
        const char* Error; // empty: the login works
        std::string Password = {};
        fs::path Key = {};
        std::string Passphrase = {};
        const TSSHTestServer* Via = Server.get();
    };
    const fs::path scratch = Server->Scratch();
    const TCase cases[] = {
        {"password", "", "secret"},
        {"key", "", "", Server->KeyFile()},
        {"key with passphrase", "", "", scratch / "pass-key", "key-passphrase"},
        {"wrong password", "the server offers publickey,password; password was refused", "not-the-secret"},
        {"unauthorised key", "stranger-key was refused", "", scratch / "stranger-key"},
        {"wrong passphrase", "the passphrase is wrong", "", scratch / "pass-key", "not-the-passphrase"},
        {"nothing set", "none of them could be tried"},
        {"PAM answered", "", "secret", {}, {}, &pam},
        {"wrong for PAM", "keyboard-interactive with the password was refused", "not-the-one", {}, {}, &pam},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Requests.clear();
        auto client = NewClient(*c.Via);
        client->Password = c.Password;
        client->PrivateKeyFile = c.Key.string();
        client->Passphrase = c.Passphrase;
        std::string error;
        try {
            client->Connect();
            EXPECT_EQ(client->RealPath("."), c.Via->Home().string());
        } catch (const EAuthError& e) {
            error = e.what();
        }
        if (*c.Error == '\0') {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_THAT(error, HasSubstr(c.Error));
            EXPECT_THAT(error, HasSubstr("as " + c.Via->User() + " to 127.0.0.1:"));
            EXPECT_FALSE(client->Connected());
        }
        for (const auto& secret : {c.Password, c.Passphrase})
            if (!secret.empty()) {
                EXPECT_THAT(error, Not(HasSubstr(secret)));
                EXPECT_THAT(Requests, Not(HasSubstr(secret)));
            }
    }
}

TEST_F(SFTPClientTest, AcceptsOnlyTheKnownHostKey) {
    const std::string line = Server->KnownHostsLine();
    // Another key for the same host: the user's public key stands in for a replaced host key.
    std::string otherKey = ReadTextFile(Server->KeyFile().string() + ".pub");
    otherKey =
        "[127.0.0.1]:" + std::to_string(Server->Port()) + " " + otherKey.substr(0, otherKey.rfind(' '));
    struct TCase {
        const char* Name;
        std::string Fingerprint;
        std::string KnownHosts; // "HASHED" + line: hashed with ssh-keygen -H
        const char* Outcome;    // "", "unknown" or "changed"
    };
    const TCase cases[] = {
        {"fingerprint", Server->HostKeyFingerprint(), "", ""},
        {"known_hosts", "", "# comment\nother.example ssh-ed25519 AAAA\n" + line + "\n", ""},
        {"hashed known_hosts", "", "HASHED" + line + "\n", ""},
        {"unknown", "", "other.example " + line.substr(line.find(' ') + 1) + "\n", "unknown"},
        {"other fingerprint", "SHA256:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU", "", "changed"},
        {"other key in known_hosts", "", otherKey + "\n", "changed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::path knownHosts = Server->Scratch() / "known_hosts";
        bool hashed = c.KnownHosts.rfind("HASHED", 0) == 0;
        WriteTextFile(knownHosts, hashed ? c.KnownHosts.substr(6) : c.KnownHosts);
        if (hashed) {
            ASSERT_EQ(RunProcess({"/usr/bin/ssh-keygen", "-q", "-H", "-f", knownHosts.string()}, {},
                                 Server->Scratch() / "keygen.log"),
                      0);
        }
        auto client = NewClient();
        client->HostKeyFingerprint = c.Fingerprint;
        client->KnownHostsFile = knownHosts.string();
        std::string outcome, message;
        try {
            client->Connect();
            EXPECT_EQ(client->ServerFingerprint(), Server->HostKeyFingerprint());
        } catch (const EHostKeyError& e) {
            outcome = e.Changed() ? "changed" : "unknown";
            message = e.what();
            EXPECT_EQ(e.Fingerprint(), Server->HostKeyFingerprint());
        }
        EXPECT_EQ(outcome, c.Outcome) << message;
        if (outcome == "unknown") {
            EXPECT_THAT(message, HasSubstr("set HostKeyFingerprint to " + Server->HostKeyFingerprint()));
            EXPECT_THAT(message, HasSubstr(line));
        }
        if (outcome == "changed") {
            EXPECT_THAT(message, HasSubstr("CHANGED"));
        }
        // Nothing secret goes to a server that did not prove itself.
        if (!outcome.empty()) {
            EXPECT_THAT(Requests, Not(HasSubstr("auth")));
        }
        Requests.clear();
    }
}

TEST_F(SFTPClientTest, TransfersByteForByteAndResumes) {
    auto client = Connected();
    // Neither a multiple of the transfer buffer nor of a packet.
    const std::string data = RandomBytes(5 * 1024 * 1024 + 12345, 7);
    const fs::path local = Server->Scratch() / "upload.bin";
    const std::string remote = Remote("upload.bin");
    std::int64_t lastWork = 0;
    client->OnWork = [&](TWorkMode, std::int64_t count) { lastWork = count; };

    WriteTextFile(local, data);
    client->Put(local.string(), remote);
    EXPECT_EQ(ReadTextFile(remote), data);
    EXPECT_EQ(lastWork, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(Download(*client, remote, Server->Scratch() / "down.bin", 0), data);

    const std::size_t cut = 3 * 1024 * 1024 + 17;
    // The remote copy broke off at cut: the rest of the local file continues it.
    ASSERT_EQ(::truncate(remote.c_str(), static_cast<off_t>(cut)), 0);
    client->Put(local.string(), remote, static_cast<std::int64_t>(cut));
    EXPECT_EQ(ReadTextFile(remote), data);
    // The local copy broke off at cut: the download continues it.
    WriteTextFile(Server->Scratch() / "resumed.bin", data.substr(0, cut));
    EXPECT_EQ(Download(*client, remote, Server->Scratch() / "resumed.bin", static_cast<std::int64_t>(cut)),
              data);
    EXPECT_THAT(Requests, HasSubstr("open " + remote + " for write from byte 3145745\n"));
    EXPECT_THAT(Requests, HasSubstr("open " + remote + " for read from byte 3145745\n"));
}

TEST_F(SFTPClientTest, ListsAndChangesTheTree) {
    auto client = Connected();
    const fs::path home = Server->Home();
    client->MakeDir(Remote("tree"));
    WriteTextFile(Server->Scratch() / "a.txt", "12345");
    client->Put((Server->Scratch() / "a.txt").string(), Remote("tree/a.txt"));
    fs::create_directory(home / "tree" / "sub");
    fs::create_symlink("a.txt", home / "tree" / "link");
    WriteTextFile(home / "tree" / "bad\nname", "x");
    const auto when = std::chrono::system_clock::from_time_t(1'600'000'000);

    client->SetModTime(Remote("tree/a.txt"), when);
    EXPECT_EQ(client->Stat(Remote("tree/a.txt")).ModifiedDate, when);
    auto items = client->List(Remote("tree"));
    std::ranges::sort(items, {}, &TFTPListItem::FileName);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(std::tuple(items[0].FileName, items[0].ItemType, items[0].Size, items[0].ModifiedDate),
              std::tuple("a.txt", TFTPItemType::ditFile, 5, when));
    EXPECT_EQ(std::tuple(items[1].FileName, items[1].ItemType, items[1].LinkTarget),
              std::tuple("link", TFTPItemType::ditSymbolicLink, "a.txt"));
    EXPECT_EQ(std::tuple(items[2].FileName, items[2].ItemType),
              std::tuple("sub", TFTPItemType::ditDirectory));
    ASSERT_EQ(client->RefusedNameCount(), 1u);
    EXPECT_EQ(client->RefusedNames()[0].Reason, "it holds a line feed");

    // Over a file in one step (version 3 alone refuses that); never over a folder.
    WriteTextFile(home / "tree" / "b.txt", "old");
    client->Rename(Remote("tree/a.txt"), Remote("tree/b.txt"));
    EXPECT_EQ(ReadTextFile(home / "tree" / "b.txt"), "12345");
    EXPECT_THROW(client->Rename(Remote("tree/b.txt"), Remote("tree/sub")), ESFTPError);
    EXPECT_THAT(Requests, HasSubstr("rename " + Remote("tree/a.txt") + " -> " + Remote("tree/b.txt") + "\n"));
    client->Delete(Remote("tree/b.txt"));
    client->Delete(Remote("tree/link"));
    fs::remove(home / "tree" / "bad\nname");
    client->RemoveDir(Remote("tree/sub"));
    client->RemoveDir(Remote("tree"));
    EXPECT_FALSE(fs::exists(home / "tree"));

    // Refusals: the server's, and ours before anything is sent.
    EXPECT_THAT([&] { client->Stat(Remote("missing")); },
                Throws<ESFTPError>(AllOf(Property(&ESFTPError::Status, ESFTPError::NoSuchFile),
                                         Property(&ESFTPError::what, HasSubstr("missing] on 127.0.0.1:")))));
    Requests.clear();
    for (const std::string& bad : {std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3)})
        EXPECT_THROW(client->MakeDir(Remote(bad)), EUnsafeCommand);
    EXPECT_EQ(Requests, "");
    EXPECT_TRUE(client->Connected());
}

// A server that breaks SFTP in one way (tests/servers/hostile_sftp.py; the word in the user's home picks
// how) fails the call that meets it with a protocol error, and the session is not used further. The
// honest rows show the same server is understood where it keeps to the protocol.
TEST_F(SFTPClientTest, RefusesAHostileServersAnswers) {
    TSSHTestServer hostile;
    hostile.ServeSftpWith({"/usr/bin/python3", (ServersDir() / "hostile_sftp.py").string()});
    hostile.Start();
    const fs::path local = hostile.Scratch() / "download.txt";
    using TCall = std::function<std::string(TSFTPClient&)>;
    const TCall connect = [](TSFTPClient&) { return std::string(); };
    const TCall realPath = [](TSFTPClient& client) { return client.RealPath("."); };
    const TCall list = [](TSFTPClient& client) {
        std::string names;
        for (const auto& item : client.List("/"))
            names += item.FileName + ";";
        return names;
    };
    const TCall download = [&](TSFTPClient& client) { return Download(client, "/file.txt", local, 0); };
    struct TCase {
        const char* Name;
        const char* Mode;
        const TCall& Call;
        const char* Error; // empty: the call works and returns Result
        const char* Result = "";
    };
    const TCase cases[] = {
        {"honest listing", "honest", list, "", "file.txt;"},
        {"honest download", "honest", download, "", "the one file's bytes\n"},
        {"short read", "short-read", download, "", "the one file's bytes\n"},
        {"version 4", "version-4", connect, "the server speaks SFTP version 4, not 3"},
        {"empty packet", "empty-packet", realPath, "the server sent a packet of 0 bytes"},
        // Nothing of the 4 GiB announced is allocated or waited for.
        {"huge packet", "huge-packet", realPath, "the server sent a packet of 4294967295 bytes"},
        {"300 answers to requests not sent", "unasked-answers", realPath,
         "the server answered requests that were not sent"},
        {"fewer names than counted", "names-missing", list, "the server's list of names is malformed"},
        {"handle of 257 bytes", "long-handle", list, "the server answered without a handle"},
        {"more data than asked", "long-read", download, "the server answered a read without data"},
        {"empty data", "empty-read", download, "the server answered a read without data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteTextFile(hostile.Home() / ".hostile-mode", c.Mode);
        auto client = NewClient(hostile);
        std::string result, error;
        const auto started = Clock::now();
        try {
            client->Connect();
            result = c.Call(*client);
        } catch (const EProtocolError& e) {
            error = e.what();
        } catch (const std::exception& e) {
            error = std::string("not a protocol error: ") + e.what();
        }
        if (*c.Error != '\0')
            EXPECT_THAT(error, AllOf(HasSubstr(c.Error),
                                     HasSubstr(" on 127.0.0.1:" + std::to_string(hostile.Port()))));
        else
            EXPECT_EQ(error, "");
        EXPECT_EQ(result, c.Result);
        EXPECT_EQ(client->Connected(), error.empty());
        // Refused at once, not after the read time-out.
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
    }
}

TEST_F(SFTPClientTest, StopEndsABlockedCallWithinASecond) {
    // A listener that never speaks SSH: the handshake waits for a greeting that does not come.
    TSocket silent = BoundSocket("127.0.0.1");
    ASSERT_EQ(::listen(silent.Fd(), 1), 0);
    // A sparse file that downloads for longer than the test waits.
    const std::string big = Remote("big.bin");
    WriteTextFile(big, "");
    fs::resize_file(big, 64LL << 30);
    struct TCase {
        const char* Name;
        bool Handshake;
    };
    for (const TCase c : {TCase{"handshake with a silent server", true}, TCase{"download", false}}) {
        SCOPED_TRACE(c.Name);
        auto client = NewClient();
        std::stop_source stop;
        std::atomic<bool> started{c.Handshake};
        if (c.Handshake)
            client->Port = silent.LocalPort();
        else
            client->Connect();
        client->SetStopToken(stop.get_token());
        client->OnWork = [&](TWorkMode, std::int64_t) { started = true; };
        std::atomic<Clock::time_point> stoppedAt{};
        std::thread stopper([&] {
            while (!started)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stoppedAt = Clock::now();
            stop.request_stop();
        });
        EXPECT_THAT([&] { c.Handshake ? client->Connect() : (void)Download(*client, big, "/dev/null", 0); },
                    ThrowsMessage<EOperationAborted>(HasSubstr("operation aborted")));
        auto ended = Clock::now();
        stopper.join();
        EXPECT_LT(ended - stoppedAt.load(), std::chrono::seconds(1));
        EXPECT_FALSE(client->Connected());
        EXPECT_THROW(client->Stat(big), EOperationAborted);
    }
    fs::remove(big);
}

} // namespace
