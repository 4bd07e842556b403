#include "icq/ICQNet.h"

namespace zr::icq {

TICQNet::TICQNet(asio::io_context& io, TPoster poster) : FIo(io), FPoster(std::move(poster)) {}

TICQNet::~TICQNet() { Disconnect(); }

void TICQNet::Connect() {
    Disconnect();
    auto socket = TEventSocket::Create(FIo, FPoster, Proxy);
    TEventSocket* raw = socket.get();
    socket->OnReceive = [this](std::string_view bytes) { Received(bytes); };
    socket->OnError = [this](TErrorType type, const std::string& text) {
        Disconnect();
        if (OnError)
            OnError(type, text);
    };
    socket->OnConnectError = [this, raw] {
        std::string text = raw->LastErrMsg();
        Disconnect();
        if (OnConnectError)
            OnConnectError(text);
    };
    socket->OnDisconnect = [this] {
        Disconnect();
        if (OnDisconnect)
            OnDisconnect();
    };
    FSocket = socket;
    socket->Connect(Host, Port);
}

void TICQNet::SendData(std::string_view bytes) {
    if (FSocket)
        FSocket->SendData(bytes);
}

void TICQNet::Disconnect() {
    if (auto socket = std::exchange(FSocket, nullptr)) {
        FClosed.push_back(socket);
        socket->Close();
    }
    // Bytes that were still on their way belong to the closed connection.
    FAssembler.Reset();
}

void TICQNet::Received(std::string_view bytes) {
    try {
        FAssembler.Feed(bytes, [this](const TFlapFrame& frame) {
            if (OnHandlePkt)
                OnHandlePkt(frame);
        });
    } catch (const EICQPacketError& e) {
        Disconnect();
        if (OnError)
            OnError(ERR_PROTOCOL, e.what());
    }
}

} // namespace zr::icq
