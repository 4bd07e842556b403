#include "icq/ICQClient.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <fmt/format.h>

#include "icq/ClientPackets.h"
#include "icq/ICQText.h"
#include "icq/ServerPackets.h"

namespace zr::icq {

namespace {

constexpr int TextMalformedLogin = 5, TextBadPassword = 6, TextTooOften = 7, TextTimedOut = 9;
constexpr std::uint32_t StatusInvisible = 0x100, BirthdayFlag = 0x80000;
// The code page an SMS request names for its text, which travels as UTF-8 anyway.
constexpr std::uint32_t SMSCodePage = 1252;

} // namespace

// The login time-out runs on the client's thread; a generation tells a stale expiry from the
// running one.
struct TICQClient::TTimer {
    explicit TTimer(asio::io_context& io) : Timer(io) {}
    asio::steady_timer Timer;
    std::atomic<std::uint64_t> Generation{0};
};

TICQClient::TICQClient(TPoster poster)
    : FIo(std::make_unique<TICQIo>()), FPoster(poster), FNet(std::make_unique<TICQNet>(FIo->Context(), poster)),
      FGate(poster), FTimer(std::make_shared<TTimer>(FIo->Context())), FRandom(std::random_device{}()) {
    FSeq = static_cast<std::uint16_t>(std::uniform_int_distribution<int>(0, 0xAAA9)(FRandom));
    FNet->OnHandlePkt = [this](const TFlapFrame& frame) { HandlePacket(frame); };
    FNet->OnError = [this](TErrorType type, const std::string& text) { Failed(type, text); };
    FNet->OnConnectError = [this](const std::string& text) {
        {
            std::lock_guard lock(FSendLock);
            FLastError = text;
        }
        ConnectionFailed();
    };
    FNet->OnDisconnect = [this] {
        // The servers never close a connection on which a sign-on is going on or done.
        if (FState != csIdle)
            ConnectionFailed();
    };
}

TICQClient::~TICQClient() {
    FGate.Close();
    StopTimer();
    // Waits for an event that is running, so that none can reach FNet while it goes.
    FNet->Disconnect();
    FNet.reset();
    FServer.reset();
    // What LogOff queued still goes out; after this no handler of the thread can reach this object.
    FIo->Stop(std::chrono::seconds(2));
}

std::string TICQClient::LastError() const {
    std::lock_guard lock(FSendLock);
    return FLastError;
}

void TICQClient::Login(std::uint32_t status, bool birthday) {
    FNet->Disconnect();
    StopTimer();
    StopListening();
    FListeningPort = 0;
    FLocalIp = 0;
    if (!DisableDirectConnections) {
        std::uint16_t port = FindBindPort();
        FServer = std::make_unique<TSrvSocket>(FIo->Context(), FPoster);
        // Direct peer sessions are not offered: a peer that connects is let go at once.
        FServer->OnClientConnected = [](const std::shared_ptr<TEventSocket>& peer) { peer->Close(); };
        if (port != 0 && FServer->StartServer(port))
            FListeningPort = port;
        FLocalIp = GetLocalIP();
    }
    {
        std::lock_guard lock(FSendLock);
        FSeq2 = 2;
        FLastError.clear();
    }
    FCookie.clear();
    FFirstConnect = true;
    FStatus = status | (birthday ? BirthdayFlag : 0);
    FLoggedIn = false;
    FState = csLogin;
    FNet->Host = ICQServer;
    FNet->Port = ICQPort;
    FNet->Proxy = Proxy;
    StartTimer();
    FNet->Connect();
}

void TICQClient::SendWhole(const TRawPkt& pkt) {
    if (pkt.Cut)
        throw EICQPacketError(fmt::format("The text is too long: it does not fit in the {} bytes of an ICQ packet",
                                          MaxPacketSize));
    FNet->SendData(pkt.Bytes());
}

void TICQClient::SendMessage(std::uint32_t uin, std::string_view text) {
    if (!FLoggedIn)
        return;
    std::lock_guard lock(FSendLock);
    auto cookie = std::uniform_int_distribution<std::uint32_t>(0, 16777129)(FRandom);
    SendWhole(CreateCLI_SENDMSG(FSeq, 0, cookie, uin, text));
}

void TICQClient::SendSMS(std::string_view destination, std::string_view text) {
    if (text.empty() || !FLoggedIn)
        return;
    std::lock_guard lock(FSendLock);
    SendWhole(CreateCLI_SENDSMS(FSeq, UIN, destination, GetSMSTime(), SMSCodePage, text, FSeq2));
}

void TICQClient::LogOff() {
    Send(&CreateCLI_GOODBYE);
    Disconnect();
    StopListening();
    if (OnLogOff)
        OnLogOff();
}

// Stops everything; what was queued (the goodbye of LogOff) still goes out first.
void TICQClient::Disconnect() {
    StopTimer();
    FNet->Disconnect();
    FState = csIdle;
    FLoggedIn = false;
    if (OnConnectionFailed)
        OnConnectionFailed();
}

void TICQClient::Send(TRawPkt (*build)(std::uint16_t&)) {
    std::lock_guard lock(FSendLock);
    FNet->SendData(build(FSeq).Bytes());
}

// The caller holds FSendLock while it builds the packet, so frames leave in sequence order.
void TICQClient::SendPacket(const TRawPkt& pkt) { FNet->SendData(pkt.Bytes()); }

void TICQClient::HandlePacket(const TFlapFrame& frame) {
    switch (frame.Header.ChID) {
    case fcSignOn:
        if (frame.Data.size() == 4) {
            std::lock_guard lock(FSendLock);
            SendPacket(FFirstConnect ? CreateCLI_IDENT(FSeq, UIN, Password) : CreateCLI_COOKIE(FSeq, FCookie));
            FFirstConnect = false;
        }
        break;
    case fcClose:
        if (FState == csLogin)
            HandleLoginClose(frame.Data);
        else if (FState != csIdle) {
            FNet->Disconnect();
            ConnectionFailed();
        }
        break;
    case fcSnac:
        HandleSnac(frame);
        break;
    default:
        break;
    }
}

void TICQClient::HandleLoginClose(std::string_view data) {
    TLoginReply reply;
    try {
        reply = ParseLoginReply(data);
    } catch (const EICQPacketError&) {
        FNet->Disconnect();
        return Failed(ERR_PROTOCOL, ErrorText(TextMalformedLogin));
    }
    if (reply.Kind != TLoginReply::lrRedirect) {
        FNet->Disconnect();
        return Failed(ERR_LOGIN, ErrorText(reply.Kind == TLoginReply::lrBadPassword ? TextBadPassword : TextTooOften));
    }
    {
        std::lock_guard lock(FSendLock);
        SendPacket(CreateEmptyFlap(FSeq, fcClose));
    }
    FNet->Disconnect();
    FCookie = reply.Cookie;
    FState = csService;
    FNet->Host = reply.Host;
    FNet->Port = reply.Port;
    FNet->Proxy = Proxy;
    FNet->Connect();
}

void TICQClient::HandleSnac(const TFlapFrame& frame) {
    TRawPkt pkt;
    TSnacHdr snac;
    try {
        pkt = TRawPkt::FromBytes(frame.Data);
        snac = GetSnac(pkt);
    } catch (const EICQPacketError&) {
        return; // too short to name what it is
    }
    auto is = [&](std::uint16_t family, std::uint16_t subType) {
        return snac.Family == family && snac.SubType == subType;
    };
    if (is(1, 3)) {
        Send(&CreateCLI_FAMILIES);
    } else if (is(1, 0x13)) {
        Send(&CreateCLI_RATESREQUEST);
    } else if (is(1, 7)) {
        for (auto build : {&CreateCLI_ACKRATES, &CreateCLI_SETICBM, &CreateCLI_REQINFO, &CreateCLI_REQLOCATION,
                           &CreateCLI_REQBUDDY, &CreateCLI_REQICBM, &CreateCLI_REQBOS})
            Send(build);
    } else if (is(9, 3)) {
        if (FState == csService)
            SignOnComplete();
    } else if (is(0x15, 3)) {
        TServiceResponse response;
        try {
            response = ParseServiceResponse(pkt);
        } catch (const EICQPacketError&) {
            return;
        }
        if (response.Kind == TServiceResponse::srOfflineEnd) {
            std::lock_guard lock(FSendLock);
            SendPacket(CreateCLI_ACKOFFLINEMSGS(FSeq, UIN, FSeq2));
            FSeq2 = 2;
        } else if (response.Kind == TServiceResponse::srSMSRefused && OnSMSRefused) {
            OnSMSRefused();
        } else if (response.Kind == TServiceResponse::srSMSAck && OnSMSAck) {
            OnSMSAck(response.Source, response.Network, response.MessageId, response.Deliverable);
        }
    } else if (is(4, 7)) {
        if (auto reply = ParseSMSReply(frame.Data); reply && OnSMSReply)
            OnSMSReply(reply->Source, reply->Sender, reply->Time, reply->Text);
    }
}

void TICQClient::SignOnComplete() {
    std::uint32_t statusClass = StatusToInt(FStatus);
    {
        std::lock_guard lock(FSendLock);
        SendPacket(CreateCLI_SETUSERINFO(FSeq));
        SendPacket(statusClass == StatusInvisible ? CreateCLI_ADDVISIBLE(FSeq, {}) : CreateCLI_ADDINVISIBLE(FSeq, {}));
        SendPacket(CreateCLI_SETIDLETIME(FSeq, statusClass == 1 || statusClass == 5));
        bool direct = FServer != nullptr;
        auto cookie = direct ? std::uniform_int_distribution<std::uint32_t>(0, 2147483646)(FRandom) : 0;
        // Peers behind a proxy could not reach the port, so none is advertised.
        std::uint32_t port = direct && Proxy.Kind == ptNone ? FListeningPort.load() : 0;
        SendPacket(CreateCLI_SETSTATUS(FSeq, FStatus, direct ? FLocalIp : 0, port, cookie, Proxy.Kind));
        SendPacket(CreateCLI_READY(FSeq));
    }
    FLoggedIn = true;
    FState = csLoggedIn;
    StopTimer();
    if (OnLogin)
        OnLogin();
}

void TICQClient::Failed(TErrorType type, const std::string& text) {
    {
        std::lock_guard lock(FSendLock);
        FLastError = text;
    }
    if (OnError)
        OnError(type, text);
    ConnectionFailed();
}

void TICQClient::ConnectionFailed() {
    FNet->Disconnect();
    FState = csIdle;
    FLoggedIn = false;
    StopTimer();
    if (OnConnectionFailed)
        OnConnectionFailed();
}

void TICQClient::StartTimer() {
    std::uint64_t generation = ++FTimer->Generation;
    if (ConnectionTimeout == 0)
        return;
    auto seconds = std::chrono::seconds(ConnectionTimeout);
    asio::post(FIo->Context(), [this, timer = FTimer, generation, seconds] {
        if (timer->Generation != generation)
            return;
        timer->Timer.expires_after(seconds);
        timer->Timer.async_wait([this, timer, generation](const std::error_code& error) {
            if (error || timer->Generation != generation)
                return;
            FGate.Post([this, timer, generation] {
                if (timer->Generation != generation || FState == csIdle || FState == csLoggedIn)
                    return;
                FNet->Disconnect();
                Failed(ERR_CONNTIMEOUT, ErrorText(TextTimedOut));
            });
        });
    });
}

void TICQClient::StopTimer() {
    ++FTimer->Generation;
    asio::post(FIo->Context(), [timer = FTimer] { timer->Timer.cancel(); });
}

void TICQClient::StopListening() {
    if (FServer)
        FServer->StopServer();
}

} // namespace zr::icq
