#include "support/LinePeer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

namespace quillate::testing {

namespace {

// Why a session stopped, thrown to end it: only a client that closed or fell silent can leave
// expected steps unmet.
enum class TSessionEnd { eClosed, eSilent, eDone };

constexpr std::size_t MaxLine = 64 * 1024;

std::string Shown(std::string text) {
    for (char& c : text)
        c = static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    return "\"" + text.substr(0, 200) + (text.size() > 200 ? "\"..." : "\"");
}

// Waits until the socket is ready for `events`, waking up now and then to see whether the peer is
// finishing: then the session ends as one whose client fell silent.
void Await(const TSocket& socket, short events, const std::atomic<bool>& stopping) {
    pollfd wanted{socket.Fd(), events, 0};
    while (::poll(&wanted, 1, 50) <= 0)
        if (stopping)
            throw TSessionEnd::eSilent;
}

TSocket Listening(const std::string& address) {
    TSocket listener = BoundSocket(address);
    if (::listen(listener.Fd(), 8) != 0)
        throw std::runtime_error("listening on " + address + " failed");
    return listener;
}

TSocket Accepted(const TSocket& listener, const std::atomic<bool>& stopping) {
    Await(listener, POLLIN, stopping);
    return TSocket(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
}

std::string AddressOf(const TSocket& socket, bool local) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST] = "";
    if ((local ? ::getsockname : ::getpeername)(socket.Fd(), reinterpret_cast<sockaddr*>(&address),
                                                &length) == 0)
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST);
    return host;
}

} // namespace

TLineScript& TLineScript::Send(std::string_view line, std::size_t times) {
    std::string all;
    while (times-- > 0)
        all.append(line).append("\r\n");
    return Raw(std::move(all));
}

TLineScript& TLineScript::Expect(std::string line) {
    return Do(Shown(line), [line](TLineSession& s) {
        if (std::string got = s.ReadLine(); got != line)
            s.Fail(Shown(line), got);
    });
}

TLineScript& TLineScript::ExpectLike(std::string pattern) {
    return Do("a line like " + Shown(pattern), [pattern](TLineSession& s) {
        if (std::string got = s.ReadLine(); ::fnmatch(pattern.c_str(), got.c_str(), 0) != 0)
            s.Fail("a line like " + Shown(pattern), got);
    });
}

TLineScript& TLineScript::ReadBlock() {
    return Do("a block ended by a lone \".\"", [](TLineSession& s) {
        std::string block;
        for (std::string line = s.ReadLine(); line != "."; line = s.ReadLine())
            block += (line.starts_with("..") ? line.substr(1) : line) + "\r\n";
        s.KeepBlock(std::move(block));
    });
}

TLineScript& TLineScript::Hang() {
    return Do({}, [](TLineSession& s) {
        s.ReadToEnd(s.Control());
        throw TSessionEnd::eClosed;
    });
}

TLineScript& TLineScript::Close() {
    return Do({}, [](TLineSession&) { throw TSessionEnd::eDone; });
}

TLinePeer::TLinePeer(std::vector<TLineScript> sessions, const std::string& address)
    : FScripts(std::move(sessions)), FListener(Listening(address)) {
    FAcceptor = std::thread([this] {
        try {
            // Connections already waiting when the peer finishes are still taken and counted.
            for (;;) {
                TSocket connection = Accepted(FListener, FStopping);
                std::size_t index = FConnections++;
                if (index < FScripts.size())
                    FSessions.emplace_back(
                        [this, index, c = std::move(connection)]() mutable { Serve(index, std::move(c)); });
                else
                    Add(FFailures, "connection " + std::to_string(index + 1) + ": no script left for it");
            }
        } catch (TSessionEnd) {
        }
    });
}

void TLinePeer::Finish() {
    if (FStopping.exchange(true))
        return;
    FAcceptor.join();
    for (auto& session : FSessions)
        session.join();
    for (std::size_t i = FConnections; i < FScripts.size(); ++i)
        FFailures.push_back("session " + std::to_string(i + 1) + ": expected a connection, none came");
    for (const auto& failure : FFailures)
        ADD_FAILURE() << "line peer on port " << Port() << ", " << failure;
}

std::vector<std::string> TLinePeer::Blocks() const {
    std::lock_guard lock(FLock);
    return FBlocks;
}

void TLinePeer::Serve(std::size_t index, TSocket connection) {
    const auto& steps = FScripts[index].FSteps;
    std::size_t step = 0;
    try {
        TLineSession session(*this, index, std::move(connection));
        for (; step < steps.size(); ++step)
            steps[step].second(session);
        for (;;)
            session.Fail("the end of the session", session.ReadLine());
    } catch (TSessionEnd end) {
        while (end != TSessionEnd::eDone && step < steps.size() && steps[step].first.empty())
            ++step;
        if (end != TSessionEnd::eDone && step < steps.size())
            Add(FFailures, "session " + std::to_string(index + 1) + ": expected " + steps[step].first +
                               (end == TSessionEnd::eClosed ? ", but the client closed the connection"
                                                            : ", but the client sent nothing"));
    } catch (const std::exception& e) {
        Add(FFailures, "session " + std::to_string(index + 1) + ": " + e.what());
    }
}

void TLinePeer::Add(std::vector<std::string>& list, std::string text) {
    std::lock_guard lock(FLock);
    list.push_back(std::move(text));
}

std::size_t TLineSession::Receive(const TSocket& socket, char* data, std::size_t size) {
    Await(socket, POLLIN, FPeer.FStopping);
    // A client that closes with our bytes unread resets the connection: that is its end too.
    ssize_t n = ::recv(socket.Fd(), data, size, MSG_DONTWAIT);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string TLineSession::ReadLine() {
    std::size_t end;
    while ((end = FBuffer.find('\n')) == std::string::npos) {
        if (FBuffer.size() > MaxLine)
            Fail("a line of at most 64 KiB", FBuffer);
        char chunk[4096];
        std::size_t n = Receive(FControl, chunk, sizeof chunk);
        if (n == 0)
            throw TSessionEnd::eClosed;
        FBuffer.append(chunk, n);
    }
    std::string line = FBuffer.substr(0, end);
    FBuffer.erase(0, end + 1);
    if (!line.ends_with('\r'))
        Fail("a line ended by CR LF", line + "\n");
    line.pop_back();
    return line;
}

std::string TLineSession::ReadToEnd(const TSocket& socket) {
    std::string data;
    char chunk[16384];
    while (std::size_t n = Receive(socket, chunk, sizeof chunk))
        data.append(chunk, n);
    return data;
}

void TLineSession::Write(const TSocket& socket, std::string_view bytes) {
    while (!bytes.empty()) {
        Await(socket, POLLOUT, FPeer.FStopping);
        ssize_t n = ::send(socket.Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN)
            throw TSessionEnd::eClosed;
        bytes.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
}

void TLineSession::Fail(const std::string& expected, const std::string& received) {
    FPeer.Add(FPeer.FFailures, "session " + std::to_string(FIndex + 1) + ": expected " + expected +
                                   ", received " + Shown(received));
    throw TSessionEnd::eDone;
}

void TLineSession::KeepBlock(std::string block) {
    FPeer.Add(FPeer.FBlocks, std::move(block));
}

std::string TLineSession::ClientAddress() const {
    return AddressOf(FControl, false);
}

TSocket TLineSession::Listen() {
    return Listening(AddressOf(FControl, true));
}

TSocket TLineSession::Accept(const TSocket& listener) {
    return Accepted(listener, FPeer.FStopping);
}

TSocket TLineSession::Connect(const std::string& address, std::uint16_t port, const std::string& from) {
    sockaddr_storage target{};
    socklen_t length = SocketAddress(address, port, target);
    TSocket socket =
        from.empty() ? TSocket(::socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0)) : BoundSocket(from);
    if (::connect(socket.Fd(), reinterpret_cast<sockaddr*>(&target), length) != 0)
        Fail("a connection to " + address + ":" + std::to_string(port), std::strerror(errno));
    return socket;
}

} // namespace quillate::testing
