#include "support/LinePeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace quillate::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Why a session stopped playing: only a client that closed or fell silent can leave steps unmet.
enum class TEnd { eClosed, eSilent, eFailed, eScript };
struct TSessionEnd {
    TEnd Reason;
};

constexpr std::size_t MaxLine = 64 * 1024;

std::string Shown(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text.substr(0, 200)) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + (text.size() > 200 ? "\"..." : "\"");
}

sockaddr_storage SocketAddress(const std::string& address, std::uint16_t port, socklen_t& length) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        throw std::runtime_error("not a numeric address: " + address);
    sockaddr_storage result{};
    std::memcpy(&result, found->ai_addr, found->ai_addrlen);
    length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return result;
}

std::string AddressOf(int fd, bool local) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int r = local ? ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length)
                  : ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
    char host[NI_MAXHOST] = "";
    if (r == 0)
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    return host;
}

// Waits for `events` on fd; false when the wake pipe fires first or the deadline passes.
bool WaitFor(int fd, short events, int wake, Clock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        int timeout = -1;
        if (deadline != Clock::time_point::max())
            timeout = static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
        int r = ::poll(fds, 2, timeout);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 && fds[0].revents != 0;
    }
}

TSocket Listening(const std::string& address) {
    socklen_t length = 0;
    sockaddr_storage bound = SocketAddress(address, 0, length);
    TSocket listener(::socket(bound.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener.Fd() < 0 || ::bind(listener.Fd(), reinterpret_cast<sockaddr*>(&bound), length) != 0 ||
        ::listen(listener.Fd(), 8) != 0)
        throw std::runtime_error("listening on " + address + " failed: " + std::strerror(errno));
    return listener;
}

} // namespace

TSocket& TSocket::operator=(TSocket&& other) noexcept {
    if (this != &other) {
        if (FFd >= 0)
            ::close(FFd);
        FFd = std::exchange(other.FFd, -1);
    }
    return *this;
}

std::uint16_t TSocket::LocalPort() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

TSocket::~TSocket() {
    if (FFd >= 0)
        ::close(FFd);
}

TLineScript& TLineScript::Raw(std::string bytes) {
    return Do({}, false, [bytes = std::move(bytes)](TLineSession& s) { s.Write(bytes); });
}

TLineScript& TLineScript::Repeat(std::string_view line, std::size_t count) {
    std::string once = std::string(line) + "\r\n", all;
    all.reserve(once.size() * count);
    for (std::size_t i = 0; i < count; ++i)
        all += once;
    return Raw(std::move(all));
}

TLineScript& TLineScript::Flood(std::size_t bytes) {
    return Raw(std::string(bytes, 'A'));
}

TLineScript& TLineScript::Expect(std::string line) {
    std::string shown = Shown(line);
    return Do(shown, true, [line = std::move(line), shown](TLineSession& s) {
        std::string got = s.ReadLine();
        if (got != line)
            s.Fail(shown, got);
    });
}

TLineScript& TLineScript::ExpectLike(std::string pattern) {
    std::string shown = "a line like " + Shown(pattern);
    return Do(shown, true, [pattern = std::move(pattern), shown](TLineSession& s) {
        std::string got = s.ReadLine();
        if (::fnmatch(pattern.c_str(), got.c_str(), 0) != 0)
            s.Fail(shown, got);
    });
}

TLineScript& TLineScript::ReadBlock() {
    return Do("a block ended by a lone \".\"", true, [](TLineSession& s) {
        std::string block;
        for (std::string line = s.ReadLine(); line != "."; line = s.ReadLine())
            block += (line.starts_with("..") ? line.substr(1) : line) + "\r\n";
        s.KeepBlock(std::move(block));
    });
}

TLineScript& TLineScript::Sleep(std::chrono::milliseconds pause) {
    return Do({}, false, [pause](TLineSession& s) { s.Pause(pause); });
}

TLineScript& TLineScript::Hang() {
    return Do({}, false, [](TLineSession& s) { s.Discard(); });
}

TLineScript& TLineScript::Close() {
    return Do({}, false, [](TLineSession&) { throw TSessionEnd{TEnd::eScript}; });
}

TLineScript& TLineScript::Do(std::string description, bool awaitsClient, TAction action) {
    FSteps.push_back({std::move(description), awaitsClient, std::move(action)});
    return *this;
}

TLineScript& TLineScript::Then(const TLineScript& more) {
    FSteps.insert(FSteps.end(), more.FSteps.begin(), more.FSteps.end());
    return *this;
}

TLinePeer::TLinePeer(std::vector<TLineScript> sessions, std::string address)
    : FScripts(std::move(sessions)), FAddress(std::move(address)), FListener(Listening(FAddress)) {
    FPort = FListener.LocalPort();
    if (::pipe2(FWake, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    FAcceptor = std::thread([this] { AcceptLoop(); });
}

TLinePeer::~TLinePeer() {
    Finish();
    ::close(FWake[0]);
    ::close(FWake[1]);
}

void TLinePeer::Finish() {
    if (FFinished)
        return;
    FFinished = true;
    char wake = 1;
    (void)!::write(FWake[1], &wake, 1);
    FAcceptor.join();
    for (auto& thread : FThreads)
        thread.join();
    for (std::size_t i = FConnections; i < FScripts.size(); ++i)
        FFailures.push_back("session " + std::to_string(i + 1) + ": expected a connection, none came");
    for (const auto& failure : FFailures)
        ADD_FAILURE() << "line peer on " << FAddress << ":" << FPort << ", " << failure;
}

std::vector<std::string> TLinePeer::Blocks() const {
    std::lock_guard lock(FLock);
    return FBlocks;
}

void TLinePeer::AcceptLoop() {
    // Connections already waiting when the peer finishes are still taken, so that they are counted.
    for (;;) {
        TSocket connection(::accept4(FListener.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (connection.Fd() >= 0) {
            std::size_t index = FConnections++;
            if (index < FScripts.size())
                FThreads.emplace_back([this, index, c = std::move(connection)]() mutable { Serve(index, std::move(c)); });
            else
                AddFailure("connection " + std::to_string(index + 1) + ": no script left for it");
        } else if ((errno != EAGAIN && errno != EINTR) ||
                   !WaitFor(FListener.Fd(), POLLIN, FWake[0], Clock::time_point::max())) {
            return;
        }
    }
}

void TLinePeer::Serve(std::size_t index, TSocket connection) {
    TLineSession session(*this, index, std::move(connection));
    const auto& steps = FScripts[index].FSteps;
    std::size_t step = 0;
    try {
        for (; step < steps.size(); ++step)
            steps[step].Action(session);
        for (;;)
            session.Fail("the end of the session", session.ReadLine());
    } catch (const TSessionEnd& end) {
        if (end.Reason != TEnd::eClosed && end.Reason != TEnd::eSilent)
            return;
        for (; step < steps.size(); ++step) {
            if (steps[step].AwaitsClient) {
                AddFailure("session " + std::to_string(index + 1) + ": expected " + steps[step].Description +
                           (end.Reason == TEnd::eClosed ? ", but the client closed the connection"
                                                        : ", but the client sent nothing"));
                return;
            }
        }
    } catch (const std::exception& e) {
        AddFailure("session " + std::to_string(index + 1) + ": " + e.what());
    }
}

void TLinePeer::AddFailure(std::string text) {
    std::lock_guard lock(FLock);
    FFailures.push_back(std::move(text));
}

void TLinePeer::AddBlock(std::string block) {
    std::lock_guard lock(FLock);
    FBlocks.push_back(std::move(block));
}

TLineSession::TLineSession(TLinePeer& peer, std::size_t index, TSocket connection)
    : FPeer(peer), FIndex(index), FControl(std::move(connection)), FLocalAddress(AddressOf(FControl.Fd(), true)),
      FClientAddress(AddressOf(FControl.Fd(), false)) {}

bool TLineSession::Wait(const TSocket& socket, short events, Clock::time_point deadline) {
    return WaitFor(socket.Fd(), events, FPeer.FWake[0], deadline);
}

std::string TLineSession::ReadLine() {
    for (;;) {
        std::size_t end = FBuffer.find('\n');
        if (end != std::string::npos) {
            std::string line = FBuffer.substr(0, end);
            FBuffer.erase(0, end + 1);
            if (line.empty() || line.back() != '\r')
                Fail("a line ended by CR LF", line + "\n");
            line.pop_back();
            return line;
        }
        if (FBuffer.size() > MaxLine)
            Fail("a line of at most 64 KiB", FBuffer);
        char chunk[4096];
        ssize_t n = ::recv(FControl.Fd(), chunk, sizeof chunk, 0);
        if (n > 0)
            FBuffer.append(chunk, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            throw TSessionEnd{TEnd::eClosed};
        else if (!Wait(FControl, POLLIN))
            throw TSessionEnd{TEnd::eSilent};
    }
}

void TLineSession::Pause(std::chrono::milliseconds pause) {
    if (WaitFor(FPeer.FWake[0], POLLIN, -1, Clock::now() + pause))
        throw TSessionEnd{TEnd::eSilent};
}

void TLineSession::Discard() {
    char chunk[65536];
    for (;;) {
        ssize_t n = ::recv(FControl.Fd(), chunk, sizeof chunk, 0);
        // A client that closes with our bytes unread resets the connection: that is a close too.
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            throw TSessionEnd{TEnd::eClosed};
        if (n < 0 && !Wait(FControl, POLLIN))
            throw TSessionEnd{TEnd::eSilent};
    }
}

void TLineSession::Fail(const std::string& expected, const std::string& received) {
    FPeer.AddFailure("session " + std::to_string(FIndex + 1) + ": expected " + expected + ", received " +
                     Shown(received));
    throw TSessionEnd{TEnd::eFailed};
}

void TLineSession::Write(const TSocket& socket, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(socket.Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0)
            bytes.remove_prefix(static_cast<std::size_t>(n));
        else if (errno != EAGAIN && errno != EINTR)
            throw TSessionEnd{TEnd::eClosed};
        else if (!Wait(socket, POLLOUT))
            throw TSessionEnd{TEnd::eSilent};
    }
}

TSocket TLineSession::Listen() {
    return Listening(FLocalAddress);
}

TSocket TLineSession::Accept(const TSocket& listener) {
    for (;;) {
        TSocket connection(::accept4(listener.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (connection.Fd() >= 0)
            return connection;
        if (!Wait(listener, POLLIN))
            throw TSessionEnd{TEnd::eSilent};
    }
}

TSocket TLineSession::Connect(const std::string& address, std::uint16_t port, const std::string& from) {
    socklen_t length = 0;
    sockaddr_storage target = SocketAddress(address, port, length);
    TSocket socket(::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    std::string what = "a connection to " + address + ":" + std::to_string(port);
    if (!from.empty()) {
        socklen_t fromLength = 0;
        sockaddr_storage source = SocketAddress(from, 0, fromLength);
        if (::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&source), fromLength) != 0)
            Fail(what + " from " + from, std::strerror(errno));
    }
    if (::connect(socket.Fd(), reinterpret_cast<sockaddr*>(&target), length) != 0 && errno != EINPROGRESS)
        Fail(what, std::strerror(errno));
    if (!Wait(socket, POLLOUT, Clock::now() + std::chrono::seconds(10)))
        Fail(what, "no answer");
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0)
        Fail(what, std::strerror(error));
    return socket;
}

TSocket TLineSession::TakeData() {
    if (!FOpenData)
        Fail("a data connection agreed on before", "a step that uses it");
    auto open = std::exchange(FOpenData, nullptr);
    return open();
}

std::string TLineSession::ReadToEnd(const TSocket& socket) {
    std::string data;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::recv(socket.Fd(), chunk, sizeof chunk, 0);
        if (n > 0)
            data.append(chunk, static_cast<std::size_t>(n));
        else if (n == 0)
            return data;
        else if (errno != EAGAIN && errno != EINTR)
            Fail("data up to a normal end", "a broken connection after " + std::to_string(data.size()) + " bytes");
        else if (!Wait(socket, POLLIN))
            throw TSessionEnd{TEnd::eSilent};
    }
}

bool TLineSession::ClosedByClient(const TSocket& socket, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        char byte;
        ssize_t n = ::recv(socket.Fd(), &byte, 1, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
        if (n < 0 && !Wait(socket, POLLIN, deadline))
            return false;
    }
}

} // namespace quillate::testing
