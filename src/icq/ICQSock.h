// TCP connections of the ICQ client: connect, receive, error and disconnect events delivered through
// a poster (the application's main thread, or the client's own thread), a send queue, SOCKS4, SOCKS5
// and HTTPS CONNECT proxies, and the listening server for direct connections.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "icq/ClientPackets.h"

namespace zr::icq {

enum TErrorType { ERR_SOCKET, ERR_INTERNAL, ERR_WARNING, ERR_PROXY, ERR_PROTOCOL, ERR_CONNTIMEOUT, ERR_LOGIN };

// The error texts by number (1 to 23); any other number gives an empty text.
std::string ErrorText(int number);

// Runs work "on the main thread": the host hands its dispatcher, tests their own loop.
using TPoster = std::function<void(std::function<void()>)>;

// Lets events through to the main thread until closed. Close waits for an event that is running
// on another thread, so that after it returns the receiver may go away.
class TEventGate {
public:
    explicit TEventGate(TPoster poster);
    ~TEventGate() { Close(); }
    TEventGate(const TEventGate&) = delete;
    TEventGate& operator=(const TEventGate&) = delete;

    void Post(std::function<void()> event);
    void Close();

private:
    struct TState {
        std::recursive_mutex Lock;
        bool Open = true;
    };
    TPoster FPoster;
    std::shared_ptr<TState> FState = std::make_shared<TState>();
};

// The thread that runs every socket and timer of one client.
class TICQIo {
public:
    TICQIo();
    ~TICQIo();
    TICQIo(const TICQIo&) = delete;
    TICQIo& operator=(const TICQIo&) = delete;
    asio::io_context& Context() { return FContext; }
    // True on the thread that runs the context.
    bool InThread() const { return std::this_thread::get_id() == FThread.get_id(); }
    // Lets the work that is left (closing connections that still send) finish for up to drain, then
    // ends the thread; handlers not run by then are dropped with the context.
    void Stop(std::chrono::milliseconds drain = std::chrono::milliseconds(0));

private:
    asio::io_context FContext{1};
    asio::executor_work_guard<asio::io_context::executor_type> FWork{FContext.get_executor()};
    std::mutex FLock;
    std::condition_variable FIdle;
    bool FRunning = true;
    std::thread FThread;
};

// ptHTTP, the service's own HTTP gateway, is not offered: a socket of that kind fails to connect.
struct TProxySettings {
    TProxyType Kind = ptNone;
    std::string Host;
    std::uint16_t Port = 0;
    std::string User, Password;
    bool Auth = false;    // send the user (SOCKS4 user id) or user and password
    bool Resolve = false; // let the proxy resolve the destination name
};

// One outgoing connection (or an accepted one). Events run through the poster, one at a time and in
// order; none runs after Close.
class TEventSocket : public std::enable_shared_from_this<TEventSocket> {
public:
    static std::shared_ptr<TEventSocket> Create(asio::io_context& io, TPoster poster,
                                                const TProxySettings& proxy = {});
    virtual ~TEventSocket();

    std::function<void()> OnConnect;
    std::function<void(TErrorType, const std::string&)> OnError;
    std::function<void()> OnConnectError;
    std::function<void()> OnDisconnect;
    std::function<void(std::string_view)> OnReceive;
    std::function<void()> OnDataSent;

    // Once per socket: resolve, connect (through the proxy) and read until closed.
    void Connect(const std::string& host, std::uint16_t port);
    // Queues the bytes; they go out in order once connected.
    void SendData(std::string_view bytes);
    // No event after this; what was queued still goes out before the connection closes.
    void Close();

    // The last error's code and text, valid in the error events.
    int LastError() const { return FLastError; }
    const std::string& LastErrMsg() const { return FLastErrMsg; }
    // The IPv4 address (host order) this end of the connection has, valid from OnConnect on; 0 for
    // another family or before the connection stands.
    std::uint32_t LocalAddress() const { return FLocalAddress; }

protected:
    TEventSocket(asio::io_context& io, TPoster poster, const TProxySettings& proxy);

    // The proxy's part: what to send once the TCP connection stands, and the reply bytes; Consume
    // returns how many it took and marks the handshake done or failed.
    virtual void StartHandshake() { FProxyReady = true; }
    virtual std::size_t Consume(std::string_view) { return 0; }

    void Write(std::string bytes);
    void HandshakeDone();
    void HandshakeFailed(int text, const std::string& suffix = {}, bool asConnectError = true);

    const TProxySettings FProxy;
    std::string FDestHost;
    std::uint16_t FDestPort = 0;
    std::string FDestIp; // dotted, when resolved here

private:
    friend class TSrvSocket;
    struct TImpl;

    void Adopt();
    void Resolved(const std::string& address);
    void Fail(int text, int code, bool asConnectError, const std::string& suffix = {});
    void StartRead();
    void Flush();
    void Deliver(std::string_view bytes);

    std::unique_ptr<TImpl> FImpl;
    TEventGate FGate;
    bool FProxyReady = false;
    bool FClosing = false;
    bool FWriting = false;
    std::deque<std::string> FQueue;
    std::string FHandshake; // reply bytes of the proxy not yet consumed
    int FLastError = 0;
    std::string FLastErrMsg;
    std::uint32_t FLocalAddress = 0;
};

// The listening server for direct peer connections.
class TSrvSocket {
public:
    TSrvSocket(asio::io_context& io, TPoster poster);
    ~TSrvSocket();

    std::function<void(std::shared_ptr<TEventSocket>)> OnClientConnected;
    std::function<void(TErrorType, const std::string&)> OnError;

    // Binds the IPv4 address (host order) and port, 0 for one the system picks, and accepts; the
    // port bound, or 0 (and OnError) when it cannot.
    std::uint16_t StartServer(std::uint32_t address, std::uint16_t port);
    void StopServer();
    bool IsListening() const { return FListening; }

private:
    struct TImpl;
    static void Accept(const std::shared_ptr<TImpl>& impl);

    std::shared_ptr<TImpl> FImpl;
    bool FListening = false;
};

} // namespace zr::icq
