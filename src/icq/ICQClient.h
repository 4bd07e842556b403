// An ICQ client: signs on over OSCAR (login server, redirect, service server), sends messages and
// SMS, and reports what the service answers through events on the poster's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>

#include "icq/ICQNet.h"
#include "icq/ICQSock.h"

namespace zr::icq {

// The login host of the service as it was; it closed in 2024, users name a compatible server.
constexpr const char* DefaultICQServer = "login.icq.com";
constexpr std::uint16_t DefaultICQPort = 5190;

class TICQClient {
public:
    // Every event runs through the poster; the operations may be called from any thread.
    explicit TICQClient(TPoster poster);
    ~TICQClient();
    TICQClient(const TICQClient&) = delete;
    TICQClient& operator=(const TICQClient&) = delete;

    std::uint32_t UIN = 0;
    std::string Password; // UTF-8; the service reads at most 16 characters
    std::string ICQServer = DefaultICQServer;
    std::uint16_t ICQPort = DefaultICQPort;
    TProxySettings Proxy;
    bool DisableDirectConnections = false;
    // Seconds a login may take before it fails with "Connection timed out"; 0 waits without limit.
    std::uint32_t ConnectionTimeout = 0;

    bool LoggedIn() const { return FLoggedIn; }
    std::string LastError() const;
    // The port the last login listens on for direct connections; 0 when none.
    std::uint16_t ListeningPort() const { return FListeningPort; }

    std::function<void()> OnLogin;
    std::function<void()> OnLogOff;
    // A login that cannot complete, a lost connection, and every Disconnect.
    std::function<void()> OnConnectionFailed;
    std::function<void(TErrorType, const std::string&)> OnError;
    std::function<void(const std::string& source, const std::string& network, const std::string& messageId,
                       bool deliverable)>
        OnSMSAck;
    std::function<void()> OnSMSRefused;
    std::function<void(const std::string& source, const std::string& sender, const std::string& time,
                       const std::string& text)>
        OnSMSReply;

    void Login(std::uint32_t status = 0, bool birthday = false);
    // Nothing is sent unless logged in; a text that does not fit in one packet throws EICQPacketError
    // and nothing is sent.
    void SendMessage(std::uint32_t uin, std::string_view text);
    void SendSMS(std::string_view destination, std::string_view text);
    void LogOff();
    void Disconnect();

private:
    enum TState { csIdle, csLogin, csService, csLoggedIn };

    void SendWhole(const TRawPkt& pkt);
    void HandlePacket(const TFlapFrame& frame);
    void HandleLoginClose(std::string_view data);
    void HandleSnac(const TFlapFrame& frame);
    void SignOnComplete();
    void Send(TRawPkt (*build)(std::uint16_t&));
    void SendPacket(const TRawPkt& pkt);
    void Failed(TErrorType type, const std::string& text);
    void ConnectionFailed();
    void StartTimer();
    void StopTimer();
    void StopListening();

    std::unique_ptr<TICQIo> FIo; // first in, last out: every socket runs on it
    TPoster FPoster;
    std::unique_ptr<TICQNet> FNet;
    std::unique_ptr<TSrvSocket> FServer;
    TEventGate FGate;
    struct TTimer;
    std::shared_ptr<TTimer> FTimer;

    std::atomic<TState> FState{csIdle};
    std::atomic<bool> FLoggedIn{false};
    std::atomic<std::uint16_t> FListeningPort{0};
    bool FFirstConnect = true;
    std::string FCookie;
    std::uint32_t FStatus = 0;
    std::uint32_t FLocalIp = 0;

    mutable std::mutex FSendLock; // the counters below and the last error
    std::uint16_t FSeq = 0;
    std::uint16_t FSeq2 = 2;
    std::string FLastError;
    std::mt19937 FRandom;
};

} // namespace zr::icq
