// The client's connection: picks the socket kind for the proxy, cuts the received bytes into FLAP
// frames and hands each frame on, on the poster's thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "icq/FlapAssembler.h"
#include "icq/ICQSock.h"

namespace zr::icq {

class TICQNet {
public:
    TICQNet(asio::io_context& io, TPoster poster);
    ~TICQNet();
    TICQNet(const TICQNet&) = delete;
    TICQNet& operator=(const TICQNet&) = delete;

    std::string Host;
    std::uint16_t Port = 0;
    TProxySettings Proxy;

    // A socket error, or a frame that breaks the protocol (the connection is then closed).
    std::function<void(TErrorType, const std::string&)> OnError;
    std::function<void(const TFlapFrame&)> OnHandlePkt;
    // The peer closed the connection.
    std::function<void()> OnDisconnect;
    // The connection could not be made; the text says why.
    std::function<void(const std::string&)> OnConnectError;

    // Closes any connection and connects to Host:Port through the proxy.
    void Connect();
    // From any thread.
    void SendData(std::string_view bytes);
    // From any thread: no event of the connection after this; queued bytes still go out.
    void Disconnect();

private:
    void Received(std::string_view bytes);

    asio::io_context& FIo;
    TPoster FPoster;
    // A frame's handler may disconnect (same thread); another thread's Disconnect waits for the feed.
    std::recursive_mutex FFeedLock;
    TFlapAssembler FAssembler;
    std::mutex FLock;
    std::shared_ptr<TEventSocket> FSocket;
    // Closed sockets are kept until the end: one may be closed from inside its own event.
    std::vector<std::shared_ptr<TEventSocket>> FClosed;
};

} // namespace zr::icq
