// The Telnet client against the scripted peer: negotiation answers, data exactly once whatever the
// server's cuts, lines with 0xFF, refused lines, the server closing, and an abort from another thread.
#include "net/NetErrors.h"
#include "net/TelnetClient.h"
#include "support/TelnetServerFixture.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace quillate::testing;
using namespace std::chrono_literals;

namespace {

// A client whose events are recorded, with a wait for what the server sent.
class TRecordingClient {
    std::mutex FLock;
    std::condition_variable FChanged;
    std::string FData, FStatus;

public:
    explicit TRecordingClient(std::uint16_t port) {
        Client.Host = "127.0.0.1";
        Client.Port = port;
        Client.OnData = [this](std::string_view data) { Add(FData, data); };
        Client.OnStatus = [this](std::string_view text) { Add(FStatus, std::string(text) + "\n"); };
        Client.Connect();
    }

    bool WaitFor(const std::string& text, bool status = false) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, 20s, [&] { return (status ? FStatus : FData).find(text) != std::string::npos; });
    }
    std::string Data() {
        std::lock_guard lock(FLock);
        return FData;
    }

    // Last, so that its own last events still find the recorder.
    zr::net::TTelnetClient Client;

private:
    void Add(std::string& to, std::string_view text) {
        std::lock_guard lock(FLock);
        to += text;
        FChanged.notify_all();
    }
};

TEST(TelnetClient, AnswersEveryOptionAndDeliversTheDataOnce) {
    TScriptedTelnetPeer peer;
    peer.Start("negotiate");
    TRecordingClient c(peer.Port());
    ASSERT_TRUE(c.WaitFor("ready> "));
    EXPECT_EQ(c.Data(), "pre-a\xff" "b-post\r\nready> ");

    c.Client.WriteLine("check");
    EXPECT_TRUE(c.WaitFor("answers: ok\r\n")) << c.Data();
    c.Client.WriteLine("x\xffy");
    EXPECT_TRUE(c.WaitFor("got 78ff79\r\n")) << c.Data();
    // Nothing of a refused line goes out, so the next one arrives alone.
    EXPECT_THROW(c.Client.WriteLine("a\r\nb"), zr::net::EUnsafeCommand);
    EXPECT_THROW(c.Client.WriteLine(std::string("a\0b", 3)), zr::net::EUnsafeCommand);
    c.Client.WriteLine("z");
    EXPECT_TRUE(c.WaitFor("got 7a\r\n")) << c.Data();
    EXPECT_EQ(c.Data().find("got 61"), std::string::npos);

    c.Client.WriteLine("bye");
    ASSERT_TRUE(c.WaitFor("Connection closed by the server.", true));
    EXPECT_FALSE(c.Client.Connected());
    EXPECT_THROW(c.Client.WriteLine("late"), zr::net::ENotConnected);
}

TEST(TelnetClient, AbortFromAnotherThreadEndsTheSessionAtOnce) {
    TScriptedTelnetPeer peer;
    peer.Start("prompts");
    TRecordingClient c(peer.Port());
    ASSERT_TRUE(c.WaitFor("A\r\n"));
    auto start = std::chrono::steady_clock::now();
    std::thread([&] { c.Client.Abort(); }).join();
    EXPECT_THROW(c.Client.WriteLine("go"), zr::net::EOperationAborted);
    c.Client.Disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(c.Client.Connected());
}

} // namespace
