#include "icq/ICQClient.h"

#include "icq/ClientPackets.h"
#include "icq/ICQText.h"
#include "icq/ServerPackets.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <fmt/format.h>
#include <future>

namespace zr::icq {

namespace {

constexpr int TextMalformedLogin = 5, TextBadPassword = 6, TextTooOften = 7, TextTimedOut = 9;
constexpr std::uint32_t StatusInvisible = 0x100, BirthdayFlag = 0x80000;
// The code page an SMS request names for its text, which travels as UTF-8 anyway.
constexpr std::uint32_t SMSCodePage = 1252;

// Thrown on the caller's thread, before anything is posted, so that a text too long sends nothing.
void RequireFits(const TRawPkt& pkt) {
    if (pkt.Cut)
        throw EICQPacketError(fmt::format(
            "The text is too long: it does not fit in the {} bytes of an ICQ packet", MaxPacketSize));
}

} // namespace

// The login time-out; a generation tells a stale expiry from the running one.
struct TICQClient::TTimer {
    explicit TTimer(asio::io_context& io) : Timer(io) {}
    asio::steady_timer Timer;
    std::uint64_t Generation = 0;
};

TICQClient::TICQClient(TPoster poster)
    : FIo(std::make_unique<TICQIo>()),
      FIoPoster([&io = FIo->Context()](std::function<void()> work) { asio::post(io, std::move(work)); }),
      FGate(std::move(poster)), FNet(std::make_unique<TICQNet>(FIo->Context(), FIoPoster)),
      FTimer(std::make_unique<TTimer>(FIo->Context())), FRandom(std::random_device{}()) {
    FSeq = static_cast<std::uint16_t>(std::uniform_int_distribution<int>(0, 0xAAA9)(FRandom));
    FNet->OnHandlePkt = [this](const TFlapFrame& frame) { HandlePacket(frame); };
    FNet->OnError = [this](TErrorType type, const std::string& text) { Failed(type, text); };
    FNet->OnConnectError = [this](const std::string& text) {
        SetLastError(text);
        ConnectionFailed();
    };
    FNet->OnDisconnect = [this] {
        // The servers never close a connection on which a sign-on is going on or done.
        if (FState != csIdle)
            ConnectionFailed();
    };
}

TICQClient::~TICQClient() {
    // Waits for an event that is running, so that none can reach the user's handlers afterwards.
    FGate.Close();
    RunAndWait([this] {
        StopTimer();
        FNet->Disconnect();
        StopListening();
        FState = csIdle;
    });
    // What LogOff queued still goes out; after this no handler of the thread can reach this object.
    FIo->Stop(std::chrono::seconds(2));
}

std::string TICQClient::LastError() const {
    std::lock_guard lock(FErrorLock);
    return FLastError;
}

void TICQClient::Post(std::function<void()> work) {
    asio::post(FIo->Context(), std::move(work));
}

void TICQClient::RunAndWait(std::function<void()> work) {
    if (FIo->InThread())
        return work();
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    Post([this, &work, done] {
        work();
        // Behind the closes the work posted, so that those sockets are shut when the caller goes on.
        Post([done] { done->set_value(); });
    });
    finished.wait();
}

void TICQClient::Emit(std::function<void()> event) {
    FGate.Post(std::move(event));
}

TICQFuture<bool> TICQClient::Login(std::uint32_t status, bool birthday) {
    TSession session{.UIN = UIN,
                     .Password = Password,
                     .Server = ICQServer,
                     .Port = ICQPort,
                     .Proxy = Proxy,
                     .Direct = DirectConnections,
                     .DirectPort = DirectConnectionPort,
                     .Timeout = ConnectionTimeout,
                     .Status = status | (birthday ? BirthdayFlag : 0)};
    TICQPromise<bool> result;
    Post([this, session = std::move(session), result]() mutable { StartLogin(std::move(session), result); });
    return result.Future();
}

void TICQClient::StartLogin(TSession session, TICQPromise<bool> result) {
    FNet->Disconnect();
    StopTimer();
    StopListening();
    // What the session before was asked for is given up.
    EndLogin(false);
    while (!FSMS.empty())
        AnswerSMS(saNone);
    FSession = std::move(session);
    SetLastError({});
    FSeq2 = 2;
    FCookie.clear();
    FFirstConnect = true;
    FLoggedIn = false;
    FState = csLogin;
    FLogin = result;
    FNet->Host = FSession.Server;
    FNet->Port = FSession.Port;
    FNet->Proxy = FSession.Proxy;
    StartTimer();
    FNet->Connect();
}

void TICQClient::SendMessage(std::uint32_t uin, std::string_view text) {
    if (!FLoggedIn)
        return;
    std::uint16_t seq = 0;
    RequireFits(CreateCLI_SENDMSG(seq, 0, 0, uin, text));
    Post([this, uin, text = std::string(text)] {
        if (FState != csLoggedIn)
            return;
        auto cookie = std::uniform_int_distribution<std::uint32_t>(0, 16777129)(FRandom);
        SendPacket(CreateCLI_SENDMSG(FSeq, 0, cookie, uin, text));
    });
}

TICQFuture<TSMSAnswer> TICQClient::SendSMS(std::string_view destination, std::string_view text) {
    TICQPromise<TSMSAnswer> answer;
    if (text.empty() || !FLoggedIn) {
        answer.Set(saNone);
        return answer.Future();
    }
    std::uint16_t seq = 0, requestSeq = 0;
    RequireFits(CreateCLI_SENDSMS(seq, 0, destination, GetSMSTime(), SMSCodePage, text, requestSeq));
    Post([this, answer, destination = std::string(destination), text = std::string(text)] {
        if (FState != csLoggedIn)
            return Emit([answer] { answer.Set(saNone); });
        SendPacket(
            CreateCLI_SENDSMS(FSeq, FSession.UIN, destination, GetSMSTime(), SMSCodePage, text, FSeq2));
        FSMS.push_back(answer);
    });
    return answer.Future();
}

void TICQClient::LogOff() {
    RunAndWait([this] {
        Send(&CreateCLI_GOODBYE);
        ConnectionFailed();
        Emit([this] {
            if (OnLogOff)
                OnLogOff();
        });
    });
}

// What was queued (the goodbye of LogOff) still goes out first.
void TICQClient::Disconnect() {
    RunAndWait([this] { ConnectionFailed(); });
}

void TICQClient::Send(TRawPkt (*build)(std::uint16_t&)) {
    FNet->SendData(build(FSeq).Bytes());
}

void TICQClient::SendPacket(const TRawPkt& pkt) { FNet->SendData(pkt.Bytes()); }

void TICQClient::HandlePacket(const TFlapFrame& frame) {
    switch (frame.Header.ChID) {
    case fcSignOn:
        if (frame.Data.size() == 4) {
            SendPacket(FFirstConnect ? CreateCLI_IDENT(FSeq, FSession.UIN, FSession.Password)
                                     : CreateCLI_COOKIE(FSeq, FCookie));
            FFirstConnect = false;
        }
        break;
    case fcClose:
        if (FState == csLogin)
            HandleLoginClose(frame.Data);
        else if (FState != csIdle)
            ConnectionFailed();
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
    SendPacket(CreateEmptyFlap(FSeq, fcClose));
    FNet->Disconnect();
    FCookie = reply.Cookie;
    FState = csService;
    FNet->Host = reply.Host;
    FNet->Port = reply.Port;
    FNet->Proxy = FSession.Proxy;
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
            SendPacket(CreateCLI_ACKOFFLINEMSGS(FSeq, FSession.UIN, FSeq2));
            FSeq2 = 2;
        } else if (response.Kind == TServiceResponse::srSMSRefused) {
            Emit([this] {
                if (OnSMSRefused)
                    OnSMSRefused();
            });
            AnswerSMS(saRefused);
        } else if (response.Kind == TServiceResponse::srSMSAck) {
            Emit([this, response] {
                if (OnSMSAck)
                    OnSMSAck(response.Source, response.Network, response.MessageId, response.Deliverable);
            });
            AnswerSMS(response.Deliverable ? saDeliverable : saUndeliverable);
        }
    } else if (is(4, 7)) {
        if (auto reply = ParseSMSReply(frame.Data)) {
            Emit([this, reply = *reply] {
                if (OnSMSReply)
                    OnSMSReply(reply.Source, reply.Sender, reply.Time, reply.Text);
            });
            AnswerSMS(saReplied);
        }
    }
}

void TICQClient::SignOnComplete() {
    std::uint32_t statusClass = StatusToInt(FSession.Status);
    SendPacket(CreateCLI_SETUSERINFO(FSeq));
    SendPacket(statusClass == StatusInvisible ? CreateCLI_ADDVISIBLE(FSeq, {})
                                              : CreateCLI_ADDINVISIBLE(FSeq, {}));
    SendPacket(CreateCLI_SETIDLETIME(FSeq, statusClass == 1 || statusClass == 5));
    bool direct = FSession.Direct;
    std::uint32_t address = direct ? FNet->LocalAddress() : 0;
    // Peers behind a proxy could not reach a port, so none is opened.
    if (direct && FSession.Proxy.Kind == ptNone)
        Listen(address);
    auto cookie = direct ? std::uniform_int_distribution<std::uint32_t>(0, 2147483646)(FRandom) : 0;
    SendPacket(
        CreateCLI_SETSTATUS(FSeq, FSession.Status, address, FListeningPort, cookie, FSession.Proxy.Kind));
    SendPacket(CreateCLI_READY(FSeq));
    FLoggedIn = true;
    FState = csLoggedIn;
    StopTimer();
    Emit([this] {
        if (OnLogin)
            OnLogin();
    });
    EndLogin(true);
}

// Direct peer sessions are not offered: a peer that connects is let go at once.
void TICQClient::Listen(std::uint32_t address) {
    FServer = std::make_unique<TSrvSocket>(FIo->Context(), FIoPoster);
    FServer->OnClientConnected = [](const std::shared_ptr<TEventSocket>& peer) { peer->Close(); };
    FListeningPort = FServer->StartServer(address, FSession.DirectPort);
}

void TICQClient::StopListening() {
    if (FServer)
        FServer->StopServer();
    FServer.reset();
    FListeningPort = 0;
}

void TICQClient::SetLastError(const std::string& text) {
    std::lock_guard lock(FErrorLock);
    FLastError = text;
}

void TICQClient::Failed(TErrorType type, const std::string& text) {
    SetLastError(text);
    Emit([this, type, text] {
        if (OnError)
            OnError(type, text);
    });
    ConnectionFailed();
}

void TICQClient::ConnectionFailed() {
    FNet->Disconnect();
    StopListening();
    FState = csIdle;
    FLoggedIn = false;
    StopTimer();
    Emit([this] {
        if (OnConnectionFailed)
            OnConnectionFailed();
    });
    EndLogin(false);
    while (!FSMS.empty())
        AnswerSMS(saNone);
}

// The answer is given behind the event that told it, so that whoever waits for it finds the
// event's work done.
void TICQClient::EndLogin(bool loggedIn) {
    if (auto result = std::exchange(FLogin, std::nullopt))
        Emit([result = *result, loggedIn] { result.Set(loggedIn); });
}

void TICQClient::AnswerSMS(TSMSAnswer answer) {
    if (FSMS.empty())
        return;
    Emit([sms = FSMS.front(), answer] { sms.Set(answer); });
    FSMS.pop_front();
}

void TICQClient::StartTimer() {
    std::uint64_t generation = ++FTimer->Generation;
    if (FSession.Timeout == 0)
        return;
    FTimer->Timer.expires_after(std::chrono::seconds(FSession.Timeout));
    FTimer->Timer.async_wait([this, generation](const std::error_code& error) {
        if (error || FTimer->Generation != generation || FState == csIdle || FState == csLoggedIn)
            return;
        FNet->Disconnect();
        Failed(ERR_CONNTIMEOUT, ErrorText(TextTimedOut));
    });
}

void TICQClient::StopTimer() {
    ++FTimer->Generation;
    FTimer->Timer.cancel();
}

} // namespace zr::icq
