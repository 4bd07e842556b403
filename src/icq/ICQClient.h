// An ICQ client: signs on over OSCAR (login server, redirect, service server), sends messages and
// SMS, and reports what the service answers through events on the poster's thread.
#pragma once

#include "icq/ICQFuture.h"
#include "icq/ICQNet.h"
#include "icq/ICQSock.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace zr::icq {

// The login host of the service as it was; it closed in 2024, users name a compatible server.
constexpr const char* DefaultICQServer = "login.icq.com";
constexpr std::uint16_t DefaultICQPort = 5190;

// The service's first answer to one SMS; saNone when it was not sent or the connection ended first.
enum TSMSAnswer { saNone, saDeliverable, saUndeliverable, saRefused, saReplied };

// The client lives on a thread of its own: every operation is posted there and runs there in the
// order of the calls, and every event leaves it through one gate to the poster's thread. The
// operations may be called from any thread but the client's own (events included); the settings
// and events are set before Login, which takes the settings as they are then.
class TICQClient {
public:
    explicit TICQClient(TPoster poster);
    ~TICQClient();
    TICQClient(const TICQClient&) = delete;
    TICQClient& operator=(const TICQClient&) = delete;

    std::uint32_t UIN = 0;
    std::string Password; // UTF-8; the service reads at most 16 characters
    std::string ICQServer = DefaultICQServer;
    std::uint16_t ICQPort = DefaultICQPort;
    TProxySettings Proxy;
    // Listen for direct peer connections on the address the client connects from, and tell the
    // service where. Off, nothing listens and the status names no address or port.
    bool DirectConnections = false;
    // The port to listen on; 0 takes the one the system picks.
    std::uint16_t DirectConnectionPort = 0;
    // Seconds a login may take before it fails with "Connection timed out"; 0 waits without limit.
    std::uint32_t ConnectionTimeout = 0;

    bool LoggedIn() const { return FLoggedIn; }
    std::string LastError() const;
    // The port the session listens on for direct connections; 0 when none.
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

    // Whether the sign-on succeeded, given once OnLogin or OnConnectionFailed has run.
    TICQFuture<bool> Login(std::uint32_t status = 0, bool birthday = false);
    // Nothing is sent unless logged in; a text that does not fit in one packet throws EICQPacketError
    // and nothing is sent.
    void SendMessage(std::uint32_t uin, std::string_view text);
    // As SendMessage; the answer is given once its event has run.
    TICQFuture<TSMSAnswer> SendSMS(std::string_view destination, std::string_view text);
    // Says goodbye (it still goes out) and disconnects as Disconnect does, then fires OnLogOff.
    void LogOff();
    // Closes every connection and returns once they are closed: nothing connects after it (a
    // redirect on its way is dropped) until the next Login. Fires OnConnectionFailed.
    void Disconnect();

private:
    enum TState { csIdle, csLogin, csService, csLoggedIn };
    // What one login runs with, taken from the settings when it is asked for.
    struct TSession {
        std::uint32_t UIN = 0;
        std::string Password, Server;
        std::uint16_t Port = 0;
        TProxySettings Proxy;
        bool Direct = false;
        std::uint16_t DirectPort = 0;
        std::uint32_t Timeout = 0;
        std::uint32_t Status = 0;
    };
    struct TTimer;

    // Runs work on the client's thread; RunAndWait returns once it and the closes it started ran.
    void Post(std::function<void()> work);
    void RunAndWait(std::function<void()> work);
    // Everything below runs on the client's thread.
    void Emit(std::function<void()> event);
    void StartLogin(TSession session, TICQPromise<bool> result);
    void HandlePacket(const TFlapFrame& frame);
    void HandleLoginClose(std::string_view data);
    void HandleSnac(const TFlapFrame& frame);
    void SignOnComplete();
    void Listen(std::uint32_t address);
    void StopListening();
    void Send(TRawPkt (*build)(std::uint16_t&));
    void SendPacket(const TRawPkt& pkt);
    void SetLastError(const std::string& text);
    void Failed(TErrorType type, const std::string& text);
    void ConnectionFailed();
    void EndLogin(bool loggedIn);
    void AnswerSMS(TSMSAnswer answer);
    void StartTimer();
    void StopTimer();

    std::unique_ptr<TICQIo> FIo; // first in, last out: every socket runs on it
    TPoster FIoPoster;           // the client's own thread, for its sockets' events
    TEventGate FGate;            // the way out to the user's poster
    std::unique_ptr<TICQNet> FNet;
    std::unique_ptr<TSrvSocket> FServer;
    std::unique_ptr<TTimer> FTimer;

    // The client's thread only.
    TState FState = csIdle;
    TSession FSession;
    std::string FCookie;
    bool FFirstConnect = true;
    std::uint16_t FSeq = 0;
    std::uint16_t FSeq2 = 2;
    std::mt19937 FRandom;
    std::optional<TICQPromise<bool>> FLogin;
    std::deque<TICQPromise<TSMSAnswer>> FSMS; // sent, not yet answered, oldest first

    std::atomic<bool> FLoggedIn{false};
    std::atomic<std::uint16_t> FListeningPort{0};
    mutable std::mutex FErrorLock;
    std::string FLastError;
};

} // namespace zr::icq
