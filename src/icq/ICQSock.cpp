#include "icq/ICQSock.h"

#include "base/Base64.h"
#include "base/Text.h"

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <cctype>

namespace zr::icq {

using asio::ip::tcp;

namespace {

constexpr std::array<const char*, 23> EnglishTexts{
    "Length of incoming packet exceeds maximum supported by protocol",
    "Could not initialize connection through HTTP proxy, please retry",
    "Received malformed packet",
    "Could not add user for sending/receiving files",
    "Received malformed login packet",
    "Bad password",
    "Too often logins",
    "Cannot establish direct connection because remote client uses unknown proxy type",
    "Connection timed out",
    "Could not send data",
    "Could not resolve host",
    "Could not connect",
    "Could not receive data",
    "Could not create stream socket",
    "SOCKS4 server cannot connect to remote server",
    "Auth methods are not supported by SOCKS5 server",
    "SOCKS5 server cannot authenticate",
    "SOCKS5 server cannot connect to remote server",
    "Http proxy returned invalid status: ",
    "Http proxy buffer overflow",
    "Could not accept incoming client",
    "Could not bind server",
    "Could not listen incoming connections"};

constexpr int TextHTTPGateway = 2, TextSend = 10, TextResolve = 11, TextConnect = 12, TextReceive = 13,
              TextSocks4 = 15, TextSocks5Methods = 16, TextSocks5Auth = 17, TextSocks5Connect = 18,
              TextHTTPStatus = 19, TextHTTPOverflow = 20, TextAccept = 21, TextBind = 22, TextListen = 23;
constexpr std::size_t ReadSize = 64 * 1024;
// A proxy's reply header must fit the buffer the reply is collected in.
constexpr std::size_t MaxProxyReply = 8192;

// A name that may go into a proxy request or the resolver: no controls, no more than a length byte
// can say.
bool UsableHostName(std::string_view host) {
    return !host.empty() && host.size() <= 255 && std::none_of(host.begin(), host.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}

std::string Byte(unsigned value) {
    return std::string(1, static_cast<char>(value & 0xFF));
}
std::string Port16(std::uint16_t port) {
    return Byte(port >> 8) + Byte(port);
}
std::string LengthPrefixed(std::string_view text) {
    std::string_view cut = text.substr(0, 255);
    return Byte(static_cast<unsigned>(cut.size())) + std::string(cut);
}

bool IsClosedByPeer(const std::error_code& ec) {
    return ec == asio::error::eof || ec == asio::error::connection_reset ||
           ec == asio::error::connection_aborted;
}

} // namespace

std::string ErrorText(int number) {
    return number >= 1 && number <= static_cast<int>(EnglishTexts.size()) ? EnglishTexts[number - 1] : "";
}

TEventGate::TEventGate(TPoster poster) : FPoster(std::move(poster)) {}

void TEventGate::Post(std::function<void()> event) {
    FPoster([state = FState, event = std::move(event)] {
        std::lock_guard lock(state->Lock);
        if (state->Open)
            event();
    });
}

void TEventGate::Close() {
    std::lock_guard lock(FState->Lock);
    FState->Open = false;
}

TICQIo::TICQIo()
    : FThread([this] {
          FContext.run();
          std::lock_guard lock(FLock);
          FRunning = false;
          FIdle.notify_all();
      }) {}

TICQIo::~TICQIo() {
    Stop();
}

void TICQIo::Stop(std::chrono::milliseconds drain) {
    FWork.reset();
    {
        std::unique_lock lock(FLock);
        FIdle.wait_for(lock, drain, [this] { return !FRunning; });
    }
    FContext.stop();
    if (FThread.joinable())
        FThread.join();
}

struct TEventSocket::TImpl {
    explicit TImpl(asio::io_context& io) : Socket(io), Resolver(io) {}
    tcp::socket Socket;
    tcp::resolver Resolver;
    std::array<char, ReadSize> In{};
    std::deque<std::string> AppQueue; // sent by the user before the proxy let it through
    bool Started = false;
    bool Connected = false;
    bool AppDataQueued = false;
};

namespace {

class TSOCKS4Socket : public TEventSocket {
public:
    using TEventSocket::TEventSocket;

protected:
    void StartHandshake() override {
        std::string request = Byte(4) + Byte(1) + Port16(FDestPort);
        if (FProxy.Resolve) {
            request += std::string("\0\0\0\1", 4);
        } else {
            auto address = asio::ip::make_address_v4(FDestIp).to_bytes();
            request.append(reinterpret_cast<const char*>(address.data()), address.size());
        }
        if (FProxy.Auth)
            request += FProxy.User.substr(0, 255);
        request += Byte(0);
        if (FProxy.Resolve)
            request += FDestHost + Byte(0);
        Write(std::move(request));
    }
    std::size_t Consume(std::string_view reply) override {
        if (reply.size() < 8)
            return 0;
        if (static_cast<unsigned char>(reply[1]) == 90)
            HandshakeDone();
        else
            HandshakeFailed(TextSocks4);
        return 8;
    }
};

class TSOCKS5Socket : public TEventSocket {
public:
    using TEventSocket::TEventSocket;

protected:
    void StartHandshake() override { Write(Byte(5) + Byte(1) + Byte(FProxy.Auth ? 2 : 0)); }
    std::size_t Consume(std::string_view reply) override {
        std::size_t need = FStep == 2 ? 10 : 2;
        if (reply.size() < need)
            return 0;
        auto at = [&](std::size_t i) { return static_cast<unsigned char>(reply[i]); };
        if (FStep == 0 && at(1) == 0xFF) {
            HandshakeFailed(TextSocks5Methods);
        } else if (FStep == 0 && at(1) == 2) {
            FStep = 1;
            Write(Byte(1) + LengthPrefixed(FProxy.User) + LengthPrefixed(FProxy.Password));
        } else if (FStep == 1 && at(1) != 0) {
            HandshakeFailed(TextSocks5Auth);
        } else if (FStep < 2) {
            FStep = 2;
            SendConnectRequest();
        } else if (at(0) != 5 || at(1) != 0) {
            HandshakeFailed(TextSocks5Connect);
        } else {
            HandshakeDone();
        }
        return need;
    }

private:
    void SendConnectRequest() {
        std::string request = Byte(5) + Byte(1) + Byte(0);
        if (FProxy.Resolve) {
            request += Byte(3) + LengthPrefixed(FDestHost);
        } else {
            auto address = asio::ip::make_address_v4(FDestIp).to_bytes();
            request += Byte(1);
            request.append(reinterpret_cast<const char*>(address.data()), address.size());
        }
        Write(request + Port16(FDestPort));
    }

    int FStep = 0;
};

class THTTPSSocket : public TEventSocket {
public:
    using TEventSocket::TEventSocket;

protected:
    void StartHandshake() override {
        std::string request = "CONNECT " + (FProxy.Resolve ? FDestHost : FDestIp) + ":" +
                              std::to_string(FDestPort) +
                              " HTTP/1.0\r\nUser-Agent: Mozilla/4.08 [en] (WinNT; U ;Nav)\r\n";
        if (FProxy.Auth)
            request += "Proxy-Authorization: Basic " +
                       quillate::base::Base64Encode(FProxy.User + ":" + FProxy.Password) + "\r\n";
        Write(request + "\r\n");
    }
    std::size_t Consume(std::string_view reply) override {
        std::size_t end = reply.find("\r\n\r\n");
        if (end == std::string_view::npos || end + 4 > MaxProxyReply) {
            if (reply.size() < MaxProxyReply)
                return 0;
            HandshakeFailed(TextHTTPOverflow, {}, false);
            return reply.size();
        }
        std::string_view line = reply.substr(0, reply.find("\r\n"));
        std::size_t blank = line.find(' ');
        std::string status = quillate::base::LowerCase(
            std::string(blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1)));
        if (status == "200 connection established")
            HandshakeDone();
        else
            HandshakeFailed(TextHTTPStatus, status, false);
        return end + 4;
    }
};

} // namespace

std::shared_ptr<TEventSocket> TEventSocket::Create(asio::io_context& io, TPoster poster,
                                                   const TProxySettings& proxy) {
    switch (proxy.Kind) {
    case ptSocks4:
        return std::shared_ptr<TEventSocket>(new TSOCKS4Socket(io, std::move(poster), proxy));
    case ptSocks5:
        return std::shared_ptr<TEventSocket>(new TSOCKS5Socket(io, std::move(poster), proxy));
    case ptHTTPS:
        return std::shared_ptr<TEventSocket>(new THTTPSSocket(io, std::move(poster), proxy));
    case ptNone:
    case ptHTTP:
        break;
    }
    return std::shared_ptr<TEventSocket>(new TEventSocket(io, std::move(poster), proxy));
}

TEventSocket::TEventSocket(asio::io_context& io, TPoster poster, const TProxySettings& proxy)
    : FProxy(proxy), FImpl(std::make_unique<TImpl>(io)), FGate(std::move(poster)) {}

TEventSocket::~TEventSocket() {
    FGate.Close();
}

void TEventSocket::Connect(const std::string& host, std::uint16_t port) {
    asio::post(FImpl->Socket.get_executor(), [self = shared_from_this(), host, port] {
        auto& impl = *self->FImpl;
        if (impl.Started || self->FClosing)
            return;
        impl.Started = true;
        self->FDestHost = host;
        self->FDestPort = port;
        if (self->FProxy.Kind == ptHTTP)
            return self->Fail(TextHTTPGateway, 0, false);
        if (!UsableHostName(host))
            return self->Fail(TextResolve, 0, false);
        if (self->FProxy.Kind == ptNone || self->FProxy.Resolve) {
            self->Resolved({});
            return;
        }
        // The proxy is given the destination's address, looked up here.
        std::error_code ec;
        auto numeric = asio::ip::make_address_v4(host, ec);
        if (!ec) {
            self->Resolved(numeric.to_string());
            return;
        }
        impl.Resolver.async_resolve(
            tcp::v4(), host, "", [self](const std::error_code& error, tcp::resolver::results_type results) {
                if (error || results.empty())
                    return self->Fail(TextResolve, error.value(), false);
                self->Resolved(results.begin()->endpoint().address().to_string());
            });
    });
}

// The destination is known (or left to the proxy): look up where to connect and connect.
void TEventSocket::Resolved(const std::string& address) {
    if (FClosing)
        return;
    FDestIp = address;
    bool viaProxy = FProxy.Kind != ptNone;
    std::string host = viaProxy ? FProxy.Host : FDestHost;
    std::uint16_t port = viaProxy ? FProxy.Port : FDestPort;
    auto connect = [self = shared_from_this(), port](const asio::ip::address& ip) {
        self->FImpl->Socket.async_connect(tcp::endpoint(ip, port), [self](const std::error_code& error) {
            if (self->FClosing)
                return;
            if (error)
                return self->Fail(TextConnect, error.value(), true);
            self->Adopt();
        });
    };
    std::error_code ec;
    auto numeric = asio::ip::make_address_v4(host, ec);
    if (!ec)
        return connect(numeric);
    if (!UsableHostName(host))
        return Fail(TextResolve, 0, false);
    FImpl->Resolver.async_resolve(tcp::v4(), host, "",
                                  [self = shared_from_this(), connect](const std::error_code& error,
                                                                       tcp::resolver::results_type results) {
                                      if (self->FClosing)
                                          return;
                                      if (error || results.empty())
                                          return self->Fail(TextResolve, error.value(), false);
                                      connect(results.begin()->endpoint().address());
                                  });
}

// The TCP connection stands (connected or accepted): start the proxy's part and read.
void TEventSocket::Adopt() {
    FImpl->Started = FImpl->Connected = true;
    std::error_code ignored;
    FImpl->Socket.set_option(tcp::no_delay(true), ignored);
    auto local = FImpl->Socket.local_endpoint(ignored);
    FLocalAddress = !ignored && local.address().is_v4() ? local.address().to_v4().to_uint() : 0;
    StartHandshake();
    if (FProxyReady)
        HandshakeDone();
    StartRead();
}

void TEventSocket::HandshakeDone() {
    FProxyReady = true;
    for (auto& bytes : FImpl->AppQueue)
        FQueue.push_back(std::move(bytes));
    FImpl->AppQueue.clear();
    FGate.Post([this] {
        if (OnConnect)
            OnConnect();
    });
    Flush();
}

void TEventSocket::HandshakeFailed(int text, const std::string& suffix, bool asConnectError) {
    Fail(text, 0, asConnectError, suffix);
}

// Nothing touches the error fields after this, so the event may read them on its own thread.
void TEventSocket::Fail(int text, int code, bool asConnectError, const std::string& suffix) {
    FLastError = code;
    FLastErrMsg = ErrorText(text) + suffix;
    std::error_code ignored;
    FImpl->Socket.close(ignored);
    FClosing = true;
    FGate.Post([this, asConnectError, message = FLastErrMsg] {
        if (asConnectError && OnConnectError)
            OnConnectError();
        else if (!asConnectError && OnError)
            OnError(ERR_SOCKET, message);
    });
}

void TEventSocket::StartRead() {
    FImpl->Socket.async_read_some(asio::buffer(FImpl->In),
                                  [self = shared_from_this()](const std::error_code& error, std::size_t n) {
                                      if (self->FClosing)
                                          return;
                                      if (error) {
                                          if (IsClosedByPeer(error)) {
                                              std::error_code ignored;
                                              self->FImpl->Socket.close(ignored);
                                              self->FClosing = true;
                                              self->FGate.Post([raw = self.get()] {
                                                  if (raw->OnDisconnect)
                                                      raw->OnDisconnect();
                                              });
                                              return;
                                          }
                                          return self->Fail(TextReceive, error.value(), false);
                                      }
                                      std::string_view bytes(self->FImpl->In.data(), n);
                                      if (self->FProxyReady) {
                                          self->Deliver(bytes);
                                      } else {
                                          self->FHandshake.append(bytes);
                                          while (!self->FProxyReady && !self->FClosing) {
                                              std::size_t used = self->Consume(self->FHandshake);
                                              if (used == 0)
                                                  break;
                                              self->FHandshake.erase(0, used);
                                          }
                                          if (self->FProxyReady && !self->FHandshake.empty())
                                              self->Deliver(std::exchange(self->FHandshake, {}));
                                      }
                                      if (!self->FClosing)
                                          self->StartRead();
                                  });
}

void TEventSocket::Deliver(std::string_view bytes) {
    FGate.Post([this, data = std::string(bytes)] {
        if (OnReceive)
            OnReceive(data);
    });
}

void TEventSocket::SendData(std::string_view bytes) {
    asio::post(FImpl->Socket.get_executor(),
               [self = shared_from_this(), data = std::string(bytes)]() mutable {
                   if (self->FClosing)
                       return;
                   self->FImpl->AppDataQueued = true;
                   if (!self->FProxyReady) {
                       self->FImpl->AppQueue.push_back(std::move(data));
                       return;
                   }
                   self->FQueue.push_back(std::move(data));
                   self->Flush();
               });
}

void TEventSocket::Write(std::string bytes) {
    FQueue.push_back(std::move(bytes));
    Flush();
}

void TEventSocket::Flush() {
    auto& impl = *FImpl;
    if (FWriting || !impl.Connected || !impl.Socket.is_open())
        return;
    if (FQueue.empty()) {
        if (FClosing) {
            std::error_code ignored;
            impl.Socket.shutdown(tcp::socket::shutdown_both, ignored);
            impl.Socket.close(ignored);
        } else if (impl.AppDataQueued) {
            impl.AppDataQueued = false;
            FGate.Post([this] {
                if (OnDataSent)
                    OnDataSent();
            });
        }
        return;
    }
    FWriting = true;
    asio::async_write(impl.Socket, asio::buffer(FQueue.front()),
                      [self = shared_from_this()](const std::error_code& error, std::size_t) {
                          self->FWriting = false;
                          if (error) {
                              if (!self->FClosing)
                                  self->Fail(TextSend, error.value(), false);
                              return;
                          }
                          self->FQueue.pop_front();
                          self->Flush();
                      });
}

void TEventSocket::Close() {
    FGate.Close();
    asio::post(FImpl->Socket.get_executor(), [self = shared_from_this()] {
        auto& impl = *self->FImpl;
        self->FClosing = true;
        impl.Resolver.cancel();
        if (!impl.Connected || !self->FProxyReady) {
            std::error_code ignored;
            impl.Socket.close(ignored);
            return;
        }
        self->Flush();
    });
}

struct TSrvSocket::TImpl {
    TImpl(asio::io_context& io, TPoster poster, TSrvSocket* owner)
        : Acceptor(io), Poster(poster), Gate(std::move(poster)), Owner(owner) {}
    tcp::acceptor Acceptor;
    TPoster Poster;
    TEventGate Gate;
    TSrvSocket* Owner; // only used by events, which the gate stops before the owner goes

    void Error(int text) {
        Gate.Post([owner = Owner, text] {
            if (owner->OnError)
                owner->OnError(ERR_SOCKET, ErrorText(text));
        });
    }
};

TSrvSocket::TSrvSocket(asio::io_context& io, TPoster poster)
    : FImpl(std::make_shared<TImpl>(io, std::move(poster), this)) {}

TSrvSocket::~TSrvSocket() {
    StopServer();
}

std::uint16_t TSrvSocket::StartServer(std::uint32_t address, std::uint16_t port) {
    std::error_code ec;
    auto& acceptor = FImpl->Acceptor;
    acceptor.open(tcp::v4(), ec);
    if (!ec)
        acceptor.bind(tcp::endpoint(asio::ip::address_v4(address), port), ec);
    int failed = ec ? TextBind : 0;
    if (!ec)
        acceptor.listen(5, ec);
    // The port the system gave when asked for any.
    tcp::endpoint bound = ec ? tcp::endpoint() : acceptor.local_endpoint(ec);
    if (ec) {
        acceptor.close(ec);
        FImpl->Error(failed ? failed : TextListen);
        return 0;
    }
    FListening = true;
    asio::post(acceptor.get_executor(), [impl = FImpl] { Accept(impl); });
    return bound.port();
}

void TSrvSocket::Accept(const std::shared_ptr<TImpl>& impl) {
    if (!impl->Acceptor.is_open())
        return;
    impl->Acceptor.async_accept([impl](const std::error_code& error, tcp::socket peer) {
        if (error == asio::error::operation_aborted || !impl->Acceptor.is_open())
            return;
        if (error) {
            impl->Error(TextAccept);
        } else {
            auto socket = TEventSocket::Create(
                static_cast<asio::io_context&>(impl->Acceptor.get_executor().context()), impl->Poster);
            socket->FImpl->Socket = std::move(peer);
            socket->Adopt();
            impl->Gate.Post([owner = impl->Owner, socket] {
                if (owner->OnClientConnected)
                    owner->OnClientConnected(socket);
            });
        }
        Accept(impl);
    });
}

void TSrvSocket::StopServer() {
    FImpl->Gate.Close();
    FListening = false;
    asio::post(FImpl->Acceptor.get_executor(), [impl = FImpl] {
        std::error_code ignored;
        impl->Acceptor.close(ignored);
    });
}

} // namespace zr::icq
