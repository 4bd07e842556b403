// An in-process server for line protocols (FTP, SMTP, POP3, NNTP) that plays a script per connection
// and fails the test when the client sends anything the script does not expect, or leaves out
// something it does.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace quillate::testing {

class TLineSession;

// An open socket, closed with its owner.
class TSocket {
public:
    TSocket() = default;
    explicit TSocket(int fd) : FFd(fd) {}
    TSocket(TSocket&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
    TSocket& operator=(TSocket&& other) noexcept;
    ~TSocket();
    int Fd() const { return FFd; }
    std::uint16_t LocalPort() const;

private:
    int FFd = -1;
};

// What one connection plays, step by step. Lines go out with CR LF added; the client's lines are
// compared without theirs, and a line it ends otherwise fails the test.
class TLineScript {
public:
    using TAction = std::function<void(TLineSession&)>;

    TLineScript& Send(std::string_view line) { return Raw(std::string(line) + "\r\n"); }
    TLineScript& Raw(std::string bytes);
    TLineScript& Repeat(std::string_view line, std::size_t count);
    // Bytes without a line end.
    TLineScript& Flood(std::size_t bytes);
    TLineScript& Expect(std::string line);
    // A line matching an fnmatch(3) pattern, for arguments that vary ("EPRT |1|127.0.0.1|*|").
    TLineScript& ExpectLike(std::string pattern);
    TLineScript& Reply(std::string command, std::string_view reply) { return Expect(std::move(command)).Send(reply); }
    // The client's lines up to a lone ".", dot-stuffing undone, kept as one block (a message body).
    TLineScript& ReadBlock();
    TLineScript& Sleep(std::chrono::milliseconds pause);
    // Silence: whatever the client sends is read and ignored until it closes.
    TLineScript& Hang();
    TLineScript& Close();
    // A step of a protocol's own; one that waits for the client (`awaitsClient`) and never gets
    // what it waits for fails the test with `description` as what was expected.
    TLineScript& Do(std::string description, bool awaitsClient, TAction action);
    TLineScript& Then(const TLineScript& more);

private:
    friend class TLinePeer;
    struct TStep {
        std::string Description;
        bool AwaitsClient;
        TAction Action;
    };
    std::vector<TStep> FSteps;
};

// Listens on a free port of `address`; the n-th connection plays the n-th script, a connection
// beyond them fails the test. Each connection runs on a thread of its own.
class TLinePeer {
public:
    explicit TLinePeer(std::vector<TLineScript> sessions, std::string address = "127.0.0.1");
    ~TLinePeer();
    TLinePeer(const TLinePeer&) = delete;
    TLinePeer& operator=(const TLinePeer&) = delete;

    std::uint16_t Port() const { return FPort; }
    const std::string& Address() const { return FAddress; }
    // Ends every session (what the client already sent is still checked) and reports each fault
    // as a failure of the running test. The destructor calls it.
    void Finish();
    // Data connections' payloads and blocks read by ReadBlock, in the order they were complete.
    std::vector<std::string> Blocks() const;

private:
    friend class TLineSession;
    void AcceptLoop();
    void Serve(std::size_t index, TSocket connection);
    void AddFailure(std::string text);
    void AddBlock(std::string block);

    std::vector<TLineScript> FScripts;
    std::string FAddress;
    std::uint16_t FPort = 0;
    TSocket FListener;
    int FWake[2] = {-1, -1}; // written once by Finish; every wait watches the reading end
    mutable std::mutex FLock;
    std::vector<std::string> FFailures;
    std::vector<std::string> FBlocks;
    std::size_t FConnections = 0;
    std::vector<std::thread> FThreads;
    std::thread FAcceptor;
    bool FFinished = false;
};

// One connection as the steps see it; all waits end early when the peer finishes.
class TLineSession {
public:
    TLineSession(TLinePeer& peer, std::size_t index, TSocket connection);

    void Write(std::string_view bytes) { Write(FControl, bytes); }
    // The client's next line without its CR LF; the session ends when the client closes.
    std::string ReadLine();
    // Ends the session with a failure of the test.
    void Pause(std::chrono::milliseconds pause);
    // Reads and drops everything until the client closes.
    [[noreturn]] void Discard();
    [[noreturn]] void Fail(const std::string& expected, const std::string& received);
    void KeepBlock(std::string block) { FPeer.AddBlock(std::move(block)); }
    const std::string& LocalAddress() const { return FLocalAddress; }
    const std::string& ClientAddress() const { return FClientAddress; }

    // A second connection for bulk data: a step on the control connection agrees how it is made
    // (OfferData), a later step opens it (TakeData).
    TSocket Listen();
    TSocket Accept(const TSocket& listener);
    TSocket Connect(const std::string& address, std::uint16_t port, const std::string& from = {});
    void OfferData(std::function<TSocket()> open) { FOpenData = std::move(open); }
    TSocket TakeData();
    void Write(const TSocket& socket, std::string_view bytes);
    // Everything up to the client's end of the stream.
    std::string ReadToEnd(const TSocket& socket);
    // True when the client closed (or reset) the connection within the time-out.
    bool ClosedByClient(const TSocket& socket, std::chrono::milliseconds timeout);

private:
    friend class TLinePeer;
    // Waits until the socket has `events`; false when the peer finishes or the deadline passes.
    bool Wait(const TSocket& socket, short events,
              std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

    TLinePeer& FPeer;
    std::size_t FIndex;
    TSocket FControl;
    std::string FLocalAddress;
    std::string FClientAddress;
    std::string FBuffer;
    std::function<TSocket()> FOpenData;
};

} // namespace quillate::testing
