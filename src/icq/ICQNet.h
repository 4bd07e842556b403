// The client's connection: picks the socket kind for the proxy, cuts the received bytes into FLAP
// frames and hands each frame on. It belongs to one thread: its events run through the poster on
// that thread, and its operations are called there.
#pragma once

#include "icq/FlapAssembler.h"
#include "icq/ICQSock.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    void SendData(std::string_view bytes);
    // No event of the connection after this; queued bytes still go out.
    void Disconnect();
    // This end's IPv4 address (host order) once connected; 0 otherwise.
    std::uint32_t LocalAddress() const { return FSocket ? FSocket->LocalAddress() : 0; }

private:
    void Received(std::string_view bytes);

    asio::io_context& FIo;
    TPoster FPoster;
    TFlapAssembler FAssembler;
    std::shared_ptr<TEventSocket> FSocket;
    // Closed sockets are kept until the end: one may be closed from inside its own event.
    std::vector<std::shared_ptr<TEventSocket>> FClosed;
};

} // namespace zr::icq
