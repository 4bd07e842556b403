// A blocking TCP (optionally TLS) connection with time-outs and an Abort that is safe from any thread.
#pragma once

#include "net/ConnectionIntercept.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

namespace zr::net {

// The port of a setting, or std::out_of_range naming it when it is no TCP port.
std::uint16_t TCPPort(std::int64_t port);

// What a later connection needs to resume an established TLS session: the session itself and the
// context (trust store and settings) it was made with. FTP data connections resume the control
// connection's session; servers refuse those that do not.
class TTLSSession;

struct TTLSOptions {
    // Verify the server certificate against the system store (plus SSL_CERT_FILE when set).
    bool VerifyPeer = true;
    // Name checked against the certificate and sent as SNI; empty means the host connected to.
    std::string ServerName;
    // Resume this session, reusing its context; empty: a full handshake with a fresh context.
    std::shared_ptr<const TTLSSession> Resume{};
};

struct TKeepAliveSettings {
    bool Enabled = false;
    std::chrono::milliseconds IdleTime{60000};
    std::chrono::milliseconds Interval{60000};
};

class TTCPConnection {
public:
    using Clock = std::chrono::steady_clock;

    TTCPConnection();
    ~TTCPConnection();
    TTCPConnection(const TTCPConnection&) = delete;
    TTCPConnection& operator=(const TTCPConnection&) = delete;

    // Resolves and connects; the time-out covers both, and a stop or a time-out abandons a name lookup
    // that has not answered. Throws ESocketError, EAlreadyConnected.
    void Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);
    // Opens a listening socket for one incoming connection; returns the port chosen.
    std::uint16_t Listen(const std::string& localAddress);
    // Waits for the incoming connection; connections from other addresses than expectedPeer
    // (when not empty) are refused and the wait goes on.
    void Accept(std::chrono::milliseconds timeout, const std::string& expectedPeer);
    // Whether a connection waits to be accepted, without waiting for one.
    bool ConnectionWaiting() const;
    void StartTLS(const TTLSOptions& options);
    // The session as it stands now (with TLS 1.3 the server's tickets arrive after the handshake,
    // with the first data read); empty without TLS.
    std::shared_ptr<const TTLSSession> TLSSession() const;
    bool TLSActive() const;

    // Also used for writes: a peer that neither sends nor takes data for this long is dead.
    void SetReadTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds ReadTimeout() const;
    void SetKeepAlive(const TKeepAliveSettings& settings);

    // Reads what is available (at least one byte); 0 means the peer closed the stream.
    std::size_t ReadSome(char* data, std::size_t size);
    // A line without its CR LF; EProtocolError past maxLength, EConnClosedGracefully at the end.
    std::string ReadLn(std::size_t maxLength = 8192);
    // Line-oriented callers parse the buffered bytes themselves and consume what they used.
    std::string_view Buffered() const;
    void Consume(std::size_t count);
    // Reads more into the buffer; false when the peer closed the stream. Wake ends the wait early.
    bool FillBuffer(Clock::time_point deadline);
    // Safe from any thread: the FillBuffer waiting now, or else the next one, returns at once, with
    // whatever arrived, so that the thread that owns the connection can take other work.
    void Wake();

    void Write(std::string_view data);
    // Ends the sending direction so the peer sees the end of an upload.
    void ShutdownSend();

    // Graceful close; never throws.
    void Disconnect();
    // Close with a reset, so that the peer sees a broken transfer rather than a complete one.
    void DisconnectWithReset();
    // Safe from any thread: the blocked call (and every later one until ClearAbort) throws
    // EOperationAborted at once. The socket stays open.
    void Abort();
    void ClearAbort();
    // From now on a stop requested through the token ends the blocked call and every later one with
    // EOperationAborted, whatever clears an abort in between; an empty token stops nothing.
    void SetStopToken(std::stop_token token);
    bool AbortRequested() const;

    bool IsOpen() const;
    // Open and not closed by the peer (peeks without consuming).
    bool Connected();

    // "host:port" as connected to, or the remote address of an accepted connection.
    std::string PeerText() const;
    std::string PeerAddress() const;
    std::string LocalAddress() const;

    void AddIntercept(std::shared_ptr<IConnectionIntercept> intercept);
    // Tells the intercepts about a change the connection cannot see itself (a data block).
    void AnnounceStatus(TConnectionStatus status, std::string_view text);
    void RemoveIntercept(const std::shared_ptr<IConnectionIntercept>& intercept);

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

} // namespace zr::net
