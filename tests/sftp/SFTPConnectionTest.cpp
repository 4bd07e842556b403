// The FTP actions' connection object over SFTP against OpenSSH's sshd, through the operations the
// actions use.
#include "ftp/ZRSFTPConnection.h"
#include "host/DateTime.h"
#include "net/NetErrors.h"
#include "support/SSHServerFixture.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace zr;
using namespace quillate::testing;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> Names(const TFTPListItems& items) {
    std::vector<std::string> names;
    for (const auto& item : items)
        names.push_back(item.FileName);
    std::sort(names.begin(), names.end());
    return names;
}

class SFTPConnectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Server = std::make_unique<TSSHTestServer>();
        Server->Start();
    }
    static void TearDownTestSuite() { Server.reset(); }

    std::shared_ptr<TSFTPConnectObject> Connected() {
        auto connection = std::make_shared<TSFTPConnectObject>("sftp");
        TFTPConnectionSettings settings;
        settings.Host = "127.0.0.1";
        settings.Port = Server->Port();
        settings.User = Server->User();
        settings.Password = TSSHTestServer::Password;
        settings.Protocol = TFTPProtocol::cpSFTP;
        settings.SFTP.HostKeyFingerprint = Server->HostKeyFingerprint();
        connection->Configure(settings);
        connection->SetOnMessage([this](const std::string& text, TConnMessageType type) {
            Log += std::to_string(type) + " " + text + "\n";
        });
        connection->Connect(10);
        return connection;
    }
    fs::path Local(const std::string& name) const { return Server->Scratch() / name; }

    static inline std::unique_ptr<TSSHTestServer> Server;
    std::string Log;
};

TEST_F(SFTPConnectionTest, CarriesATreeUpAndBackAndRemovesIt) {
    auto c = Connected();
    const fs::path home = Server->Home();
    EXPECT_EQ(c->GetRemoteDir(), home.string());
    const std::string data = RandomBytes(3 * 1024 * 1024 + 999, 3);
    WriteTextFile(Local("a.bin"), data);
    WriteTextFile(Local("b.txt"), "bee");

    c->CreateDir("tree");
    c->ChangeDir("tree");
    EXPECT_EQ(c->GetRemoteDir(), (home / "tree").string());
    c->CreateDir("sub");
    c->UploadFile(Local("a.bin").string(), "a.bin", 0, 0);
    c->UploadFile(Local("b.txt").string(), "sub/b.txt", 0, 0);
    c->UploadFile(Local("b.txt").string(), (home / "tree" / "old.txt").string(), 0, 0);
    // A link inside the tree to a folder outside it: the delete below takes the link, not the folder.
    fs::create_directory(home / "keep");
    WriteTextFile(home / "keep" / "k.txt", "k");
    fs::create_directory_symlink(home / "keep", home / "tree" / "sub" / "link");
    EXPECT_THAT(Names(c->GetDirectoryListItems(true)), ElementsAre("a.bin", "old.txt", "sub"));
    EXPECT_THAT(Names(*c->ListFolder("sub")), ElementsAre("b.txt", "link"));
    EXPECT_THAT(c->ListDirectory("sub", true), HasSubstr("link -> " + (home / "keep").string() + "\r\n"));
    EXPECT_EQ(c->GetFileSize("a.bin"), static_cast<std::int64_t>(data.size()));

    const quillate::TDateTime when = quillate::UnixToDateTime(1'600'000'000);
    std::string message;
    EXPECT_TRUE(c->SetFileDate("a.bin", when, message)) << message;
    EXPECT_EQ(c->GetFileDate("a.bin"), when);

    // Down into a local folder, then continued from where a broken copy ended, on both sides.
    fs::create_directory(Local("down"));
    quillate::TLocalFolder folder(Local("down").string());
    folder.MakeFolders("x");
    c->DownloadFile("a.bin", folder, "x/a.bin", false, false, -1);
    EXPECT_EQ(ReadTextFile(Local("down/x/a.bin")), data);
    ASSERT_EQ(::truncate(Local("down/x/a.bin").c_str(), 1'000'003), 0);
    c->DownloadFile("a.bin", folder, "x/a.bin", false, true, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(ReadTextFile(Local("down/x/a.bin")), data);
    ASSERT_EQ(::truncate((home / "tree" / "a.bin").c_str(), 2'000'001), 0);
    c->Resume(Local("a.bin").string(), "a.bin", 2'000'001, 0);
    EXPECT_EQ(ReadTextFile(home / "tree" / "a.bin"), data);
    // A failed download leaves the local file as it was.
    EXPECT_ANY_THROW(c->DownloadFile("missing", folder, "x/a.bin", true, false, -1));
    EXPECT_EQ(ReadTextFile(Local("down/x/a.bin")), data);

    // Over a file that is there, as FTP servers rename.
    c->RenameFile("a.bin", "old.txt");
    EXPECT_EQ(ReadTextFile(home / "tree" / "old.txt"), data);
    EXPECT_THAT(Names(c->GetDirectoryListItems(true)), ElementsAre("old.txt", "sub"));

    c->ChangeDir("sub");
    c->SafeChangeUpDir();
    c->ChangeUpDir();
    EXPECT_EQ(c->GetRemoteDir(), home.string());
    c->DeleteDir("tree", true);
    EXPECT_FALSE(fs::exists(home / "tree"));
    EXPECT_EQ(ReadTextFile(home / "keep" / "k.txt"), "k");
    fs::remove_all(home / "keep");

    EXPECT_THAT(Log, HasSubstr("1 Sent: 127.0.0.1:" + std::to_string(Server->Port()) + " : mkdir " +
                               (home / "tree").string() + "\n"));
    EXPECT_THAT(Log, HasSubstr("2 Status: Connected to 127.0.0.1:"));
    EXPECT_THAT(Log, HasSubstr("0 Recv: 127.0.0.1:" + std::to_string(Server->Port()) + " : no such file\n"));
    EXPECT_THAT(Log, Not(HasSubstr(TSSHTestServer::Password)));
}

TEST_F(SFTPConnectionTest, RefusesWhatItCannotDoInOneLine) {
    auto c = Connected();
    WriteTextFile(Server->Home() / "file.txt", "x");
    std::vector<std::string> lines;
    EXPECT_FALSE(c->ListTree("", lines));
    struct TCase {
        const char* Name;
        std::function<void()> Call;
        const char* Message;
        // The server's refusal of a name, which callers step around as over FTP (a 550).
        bool NameRefused;
    };
    const TCase cases[] = {
        {"crc", [&] { c->FileCRC("file.txt"); }, "XCRC is not available over SFTP", false},
        {"raw command", [&] { c->SendCMD("SITE CHMOD 600 file.txt", "200"); },
         "The FTP command SITE is not available over SFTP", false},
        {"into a file", [&] { c->ChangeDir("file.txt"); }, "file.txt] on 127.0.0.1:", true},
        {"into nothing", [&] { c->ChangeDir("missing"); }, "no such file", true},
        {"folder under nothing", [&] { c->CreateDir("missing/new"); }, "no such file", true},
        {"size of a folder", [&] { c->GetFileSize("."); }, "it is a folder", false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        try {
            k.Call();
            ADD_FAILURE() << "no error";
        } catch (const std::exception& e) {
            EXPECT_THAT(e.what(), HasSubstr(k.Message));
            EXPECT_EQ(net::IsNameUnavailable(e), k.NameRefused);
            EXPECT_FALSE(net::IsNameTaken(e));
        }
        EXPECT_EQ(c->GetRemoteDir(), Server->Home().string());
    }
    c->NOOP();
    EXPECT_TRUE(c->IsConnected());
    fs::remove(Server->Home() / "file.txt");
}

TEST_F(SFTPConnectionTest, StopEndsAThrottledUploadWithinASecond) {
    auto c = Connected();
    WriteTextFile(Local("slow.bin"), RandomBytes(4 * 1024 * 1024, 5));
    std::stop_source stop;
    c->SetStopToken(stop.get_token());
    std::atomic<bool> started{false};
    c->SetOnWork([&](net::TWorkMode, std::int64_t) { started = true; });
    std::atomic<Clock::time_point> stoppedAt{};
    std::thread stopper([&] {
        while (!started)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stoppedAt = Clock::now();
        stop.request_stop();
    });
    // At 256 KiB/s the file takes 16 s.
    EXPECT_THROW(c->UploadFile(Local("slow.bin").string(), "slow.bin", 256 * 1024, 0),
                 net::EOperationAborted);
    auto ended = Clock::now();
    stopper.join();
    EXPECT_LT(ended - stoppedAt.load(), std::chrono::seconds(1));
    EXPECT_FALSE(c->IsConnected());
    fs::remove(Server->Home() / "slow.bin");
}

// The server's end of the session dies half-way: the upload fails, and a new session goes on from the
// size the server holds, which gives the whole file.
TEST_F(SFTPConnectionTest, AnUploadCutByTheServerResumesFromWhatArrived) {
    auto c = Connected();
    const std::string data = RandomBytes(4 * 1024 * 1024, 6);
    WriteTextFile(Local("cut.bin"), data);
    std::atomic<bool> underWay{false};
    c->SetOnWork([&](net::TWorkMode, std::int64_t done) { underWay = underWay || done > 512 * 1024; });
    std::thread killer([&] {
        while (!underWay)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // The pattern's brackets keep pkill from matching the shell that runs it.
        EXPECT_EQ(std::system(("pkill -KILL -f '[s]shd: " + Server->User() + "[ @]'").c_str()), 0);
    });
    EXPECT_ANY_THROW(c->UploadFile(Local("cut.bin").string(), "cut.bin", 256 * 1024, 0));
    killer.join();
    auto again = Connected();
    const std::int64_t arrived = again->GetFileSize("cut.bin");
    EXPECT_GT(arrived, 0);
    EXPECT_LT(arrived, static_cast<std::int64_t>(data.size()));
    again->Resume(Local("cut.bin").string(), "cut.bin", arrived, 0);
    EXPECT_TRUE(ReadTextFile(Server->Home() / "cut.bin") == data);
    fs::remove(Server->Home() / "cut.bin");
}

} // namespace
