// An in-process server for line protocols (FTP, SMTP, POP3, NNTP) that plays a script per connection
// and fails the test when the client sends anything the script does not expect, or leaves out
// something it does.
#pragma once

#include "support/ServerProcess.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillate::testing {

class TLinePeer;

// One connection as the steps of a script see it. Every wait ends when the peer finishes.
class TLineSession {
public:
    TLineSession(TLinePeer& peer, std::size_t index, TSocket control)
        : FPeer(peer), FIndex(index), FControl(std::move(control)) {}

    const TSocket& Control() const { return FControl; }
    void Write(const TSocket& socket, std::string_view bytes);
    // The client's next line without its CR LF; a line it ends otherwise fails the test.
    std::string ReadLine();
    // Everything up to the client's end of the stream (or its reset).
    std::string ReadToEnd(const TSocket& socket);
    // Ends the session with a failure of the test.
    [[noreturn]] void Fail(const std::string& expected, const std::string& received);
    void KeepBlock(std::string block);
    std::string ClientAddress() const;

    // Second connections (FTP data): a listener on the control connection's address, and connections
    // to the client, from another local address when `from` is given.
    TSocket Listen();
    TSocket Accept(const TSocket& listener);
    TSocket Connect(const std::string& address, std::uint16_t port, const std::string& from = {});
    // How a step on the control connection agreed to open the next data connection.
    std::function<TSocket()> OpenData;

private:
    // Bytes received, 0 when the client closed.
    std::size_t Receive(const TSocket& socket, char* data, std::size_t size);

    TLinePeer& FPeer;
    std::size_t FIndex;
    TSocket FControl;
    std::string FBuffer;
};

// What one connection plays, step by step; lines go out with CR LF added.
class TLineScript {
public:
    using TAction = std::function<void(TLineSession&)>;

    TLineScript& Send(std::string_view line, std::size_t times = 1);
    TLineScript& Raw(std::string bytes) {
        return Do({}, [bytes](TLineSession& s) { s.Write(s.Control(), bytes); });
    }
    TLineScript& Expect(std::string line);
    // A line matching an fnmatch(3) pattern, for arguments that vary ("EPRT |1|127.0.0.1|*|").
    TLineScript& ExpectLike(std::string pattern);
    TLineScript& Reply(std::string command, std::string_view reply) {
        return Expect(std::move(command)).Send(reply);
    }
    // The client's lines up to a lone ".", dot-stuffing undone, kept as one block (a message body).
    TLineScript& ReadBlock();
    // Silence: whatever the client sends is read and dropped until it closes.
    TLineScript& Hang();
    TLineScript& Close();
    // A step of a protocol's own. With an `expected` text it waits for the client, and a client that
    // closes or falls silent there fails the test with that text.
    TLineScript& Do(std::string expected, TAction action) {
        FSteps.emplace_back(std::move(expected), std::move(action));
        return *this;
    }
    TLineScript& Then(const TLineScript& more) {
        FSteps.insert(FSteps.end(), more.FSteps.begin(), more.FSteps.end());
        return *this;
    }

private:
    friend class TLinePeer;
    std::vector<std::pair<std::string, TAction>> FSteps;
};

// Listens on a free port of `address`; the n-th connection plays the n-th script on a thread of its
// own, and a connection beyond them fails the test.
class TLinePeer {
public:
    explicit TLinePeer(std::vector<TLineScript> sessions, const std::string& address = "127.0.0.1");
    ~TLinePeer() { Finish(); }
    TLinePeer(const TLinePeer&) = delete;
    TLinePeer& operator=(const TLinePeer&) = delete;

    std::uint16_t Port() const { return FListener.LocalPort(); }
    // Ends every session (what the client already sent is still checked) and reports each fault as a
    // failure of the running test, on the calling thread.
    void Finish();
    // The bytes of uploads and of blocks read by ReadBlock, in the order they ended.
    std::vector<std::string> Blocks() const;

private:
    friend class TLineSession;
    void Serve(std::size_t index, TSocket connection);
    void Add(std::vector<std::string>& list, std::string text);

    std::vector<TLineScript> FScripts;
    TSocket FListener;
    std::atomic<bool> FStopping{false};
    mutable std::mutex FLock;
    std::vector<std::string> FFailures;
    std::vector<std::string> FBlocks;
    std::size_t FConnections = 0;
    std::vector<std::thread> FSessions;
    std::thread FAcceptor;
};

} // namespace quillate::testing
