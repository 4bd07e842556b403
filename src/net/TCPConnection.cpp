#include "net/TCPConnection.h"

#include "net/NameLookup.h"
#include "net/NetErrors.h"

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

namespace zr::net {

std::uint16_t TCPPort(std::int64_t port) {
    if (port < 1 || port > 65535)
        throw std::out_of_range(fmt::format("Port {} is not a TCP port (1 to 65535)", port));
    return static_cast<std::uint16_t>(port);
}

using asio::ip::tcp;
using Clock = TTCPConnection::Clock;

namespace {

constexpr std::size_t InBufferSize = 16 * 1024;

std::string HostPort(std::string_view host, std::uint16_t port) {
    if (host.find(':') != std::string_view::npos)
        return fmt::format("[{}]:{}", host, port);
    return fmt::format("{}:{}", host, port);
}

std::string Millis(std::chrono::milliseconds ms) {
    return fmt::format("{} ms", ms.count());
}

enum class TRunResult { rrDone, rrTimedOut, rrAborted, rrWoken };

std::string TLSErrorText(const std::error_code& ec) {
    std::string text = ec.message();
    if (ec.category() == asio::error::get_ssl_category()) {
        auto reason = ERR_reason_error_string(static_cast<unsigned long>(ec.value()));
        if (reason != nullptr)
            text = reason;
    }
    return text;
}

} // namespace

class TTLSSession {
public:
    TTLSSession(std::shared_ptr<asio::ssl::context> context, SSL_SESSION* session)
        : Context(std::move(context)), Session(session, &SSL_SESSION_free) {}

    std::shared_ptr<asio::ssl::context> Context;
    std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)> Session;
};

struct TTCPConnection::TImpl {
    asio::io_context Io{1};
    tcp::socket Socket{Io};
    tcp::acceptor Acceptor{Io};
    asio::steady_timer Timer{Io};
    std::shared_ptr<asio::ssl::context> SslContext;
    std::optional<asio::ssl::stream<tcp::socket&>> Ssl;
    std::atomic<bool> AbortFlag{false};
    std::atomic<bool> WakeFlag{false};
    std::stop_token StopToken;
    std::chrono::milliseconds ReadTimeout{60000};
    TKeepAliveSettings KeepAlive;
    std::string Peer;
    std::string HostName;
    std::vector<char> In = std::vector<char>(InBufferSize);
    std::size_t InBegin = 0;
    std::size_t InEnd = 0;
    std::vector<std::shared_ptr<IConnectionIntercept>> Intercepts;
    // Last, so that it is deregistered (waiting for a call in progress) before Io goes.
    std::optional<std::stop_callback<std::function<void()>>> StopWake;

    bool Aborted() const { return AbortFlag.load() || StopToken.stop_requested(); }

    Clock::time_point ReadDeadline() const { return Clock::now() + ReadTimeout; }

    // Runs the context until the started operation reports done, the deadline passes or Abort
    // stops the context. On time-out and abort the operation is cancelled and its handler run, so
    // that no handler outlives the caller's stack.
    // A name lookup is abandoned instead (drain false): the resolver cannot be cancelled. Only a
    // wakeable wait ends on Wake.
    TRunResult Run(const bool& done, Clock::time_point deadline, bool drain = true, bool wakeable = false) {
        Io.restart();
        while (!done) {
            if (wakeable && WakeFlag.exchange(false)) {
                CancelAndDrain(done);
                return TRunResult::rrWoken;
            }
            if (Aborted()) {
                if (drain)
                    CancelAndDrain(done);
                return TRunResult::rrAborted;
            }
            if (Clock::now() >= deadline) {
                if (drain)
                    CancelAndDrain(done);
                return TRunResult::rrTimedOut;
            }
            Io.run_one_until(deadline);
        }
        return TRunResult::rrDone;
    }

    // Cancels again after every handler: a composed operation (a TLS handshake) whose step completed
    // just before the cancel starts its next step from that handler, and that one must end too.
    void CancelAndDrain(const bool& done) {
        for (;;) {
            std::error_code ignored;
            Socket.cancel(ignored);
            Acceptor.cancel(ignored);
            Timer.cancel();
            if (done)
                return;
            Io.restart();
            Io.run_one();
        }
    }

    [[noreturn]] void Fail(TRunResult result, std::string_view activity, std::chrono::milliseconds timeout,
                           const std::error_code& ec) {
        if (result == TRunResult::rrAborted)
            throw EOperationAborted(FormatNetMessage(activity, Peer, "operation aborted"));
        if (result == TRunResult::rrTimedOut)
            throw EReadTimeout(FormatNetMessage(activity, Peer, "timed out after " + Millis(timeout)));
        if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated)
            throw EConnClosedGracefully(FormatNetMessage(activity, Peer, "connection closed by peer"));
        if (ec.category() == asio::error::get_ssl_category())
            throw ETLSError(FormatNetMessage(activity, Peer, TLSErrorText(ec)), ec);
        // Asio's own system category does not compare equal to std::errc values; callers get
        // the standard one.
        std::error_code code = ec.category() == asio::system_category()
                                   ? std::error_code(ec.value(), std::system_category())
                                   : ec;
        throw ESocketError(FormatNetMessage(activity, Peer, ec.message()), code);
    }

    void CheckOpen(std::string_view activity) const {
        if (!Socket.is_open())
            throw ENotConnected(FormatNetMessage(activity, Peer, "not connected"));
    }

    void Status(TConnectionStatus status, std::string_view text) {
        for (auto& i : Intercepts)
            i->Status(status, text);
    }

    std::size_t ChunkLimit(std::size_t wanted) const {
        for (auto& i : Intercepts)
            wanted = std::min(wanted, std::max<std::size_t>(1, i->MaxChunk()));
        return wanted;
    }

    // Lets a pacing intercept hold the channel back; abortable like any other wait.
    void Pace(std::string_view activity) {
        Clock::duration delay{};
        for (auto& i : Intercepts)
            delay = std::max(delay, i->PaceDelay());
        if (delay <= Clock::duration::zero())
            return;
        bool done = false;
        Timer.expires_after(delay);
        Timer.async_wait([&](const std::error_code&) { done = true; });
        TRunResult r = Run(done, Clock::time_point::max());
        if (r == TRunResult::rrAborted)
            Fail(r, activity, ReadTimeout, {});
    }

    template <class Buffer, class Handler> void AsyncReadSome(const Buffer& buffer, Handler&& handler) {
        if (Ssl)
            Ssl->async_read_some(buffer, std::forward<Handler>(handler));
        else
            Socket.async_read_some(buffer, std::forward<Handler>(handler));
    }

    template <class Buffer, class Handler> void AsyncWrite(const Buffer& buffer, Handler&& handler) {
        if (Ssl)
            asio::async_write(*Ssl, buffer, std::forward<Handler>(handler));
        else
            asio::async_write(Socket, buffer, std::forward<Handler>(handler));
    }

    void ApplyKeepAlive() {
        if (!Socket.is_open())
            return;
        std::error_code ignored;
        Socket.set_option(asio::socket_base::keep_alive(KeepAlive.Enabled), ignored);
        if (!KeepAlive.Enabled)
            return;
        int fd = Socket.native_handle();
        int idle = std::max(1, static_cast<int>(KeepAlive.IdleTime.count() / 1000));
        int interval = std::max(1, static_cast<int>(KeepAlive.Interval.count() / 1000));
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    }

    void ResetState() {
        Ssl.reset();
        InBegin = InEnd = 0;
    }

    void CloseSocket() {
        std::error_code ignored;
        Socket.close(ignored);
        Acceptor.close(ignored);
        ResetState();
    }
};

TTCPConnection::TTCPConnection() : FImpl(std::make_unique<TImpl>()) {}

TTCPConnection::~TTCPConnection() {
    FImpl->CloseSocket();
}

void TTCPConnection::Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout) {
    auto& d = *FImpl;
    std::string target = HostPort(host, port);
    if (d.Socket.is_open())
        throw EAlreadyConnected(FormatNetMessage("Connecting to", target, "already connected to " + d.Peer));
    d.ResetState();
    d.Peer = target;
    d.HostName = host;
    auto deadline = Clock::now() + timeout;

    d.Status(TConnectionStatus::csResolving, fmt::format("Resolving hostname {}.", host));
    bool done = false;
    std::error_code ec;
    std::vector<tcp::endpoint> endpoints;
    // A numeric address (every passive data channel) is connected to as it is: the resolver would start
    // a thread of its own for each connection.
    auto address = asio::ip::make_address(host, ec);
    TRunResult r = TRunResult::rrDone;
    if (!ec) {
        endpoints.emplace_back(address, port);
    } else {
        ec.clear();
        // The answer is posted into the context, so that Abort and a stop end the wait as any other.
        auto answered = std::make_shared<bool>(false);
        auto work = asio::make_work_guard(d.Io);
        auto lookup = TNameLookup::Start(host, port, [&io = d.Io, answered] {
            asio::post(io, [answered] { *answered = true; });
        });
        r = d.Run(*answered, deadline, false);
        work.reset();
        if (r == TRunResult::rrDone) {
            TLookupAnswer answer = lookup->Take();
            ec = answer.Error;
            for (const auto& found : answer.Addresses)
                endpoints.emplace_back(asio::ip::make_address(found), port);
        } else {
            lookup->Abandon();
        }
        if (r == TRunResult::rrTimedOut)
            throw ESocketError(FormatNetMessage("Resolving", target, "timed out after " + Millis(timeout)),
                               asio::error::timed_out);
        if (r != TRunResult::rrDone || ec)
            d.Fail(r, "Resolving", timeout, ec);
    }

    d.Status(TConnectionStatus::csConnecting, fmt::format("Connecting to {}.", target));
    done = false;
    asio::async_connect(d.Socket, endpoints, [&](const std::error_code& e, const tcp::endpoint&) {
        ec = e;
        done = true;
    });
    r = d.Run(done, deadline);
    if (r != TRunResult::rrDone || ec) {
        d.CloseSocket();
        if (r == TRunResult::rrTimedOut)
            throw ESocketError(FormatNetMessage("Connecting to", target, "timed out after " + Millis(timeout)),
                               asio::error::timed_out);
        d.Fail(r, "Connecting to", timeout, ec);
    }
    std::error_code ignored;
    d.Socket.set_option(tcp::no_delay(true), ignored);
    d.ApplyKeepAlive();
    d.Status(TConnectionStatus::csConnected, "Connected.");
}

std::uint16_t TTCPConnection::Listen(const std::string& localAddress) {
    auto& d = *FImpl;
    if (d.Socket.is_open() || d.Acceptor.is_open())
        throw EAlreadyConnected(FormatNetMessage("Listening on", localAddress, "already connected"));
    d.ResetState();
    std::error_code ec;
    auto address = asio::ip::make_address(localAddress, ec);
    if (!ec) {
        tcp::endpoint ep(address, 0);
        d.Acceptor.open(ep.protocol(), ec);
        if (!ec)
            d.Acceptor.bind(ep, ec);
        if (!ec)
            d.Acceptor.listen(1, ec);
    }
    if (ec) {
        d.CloseSocket();
        throw ESocketError(FormatNetMessage("Listening on", localAddress, ec.message()), ec);
    }
    d.Peer = HostPort(localAddress, d.Acceptor.local_endpoint().port());
    return d.Acceptor.local_endpoint().port();
}

bool TTCPConnection::ConnectionWaiting() const {
    auto& d = *FImpl;
    if (!d.Acceptor.is_open())
        return false;
    pollfd listening{};
    listening.fd = d.Acceptor.native_handle();
    listening.events = POLLIN;
    return ::poll(&listening, 1, 0) == 1 && (listening.revents & POLLIN) != 0;
}

void TTCPConnection::Accept(std::chrono::milliseconds timeout, const std::string& expectedPeer) {
    auto& d = *FImpl;
    if (!d.Acceptor.is_open())
        throw ENotConnected(FormatNetMessage("Accepting on", d.Peer, "not listening"));
    auto deadline = Clock::now() + timeout;
    std::string listening = d.Peer;
    for (;;) {
        bool done = false;
        std::error_code ec;
        d.Acceptor.async_accept(d.Socket, [&](const std::error_code& e) {
            ec = e;
            done = true;
        });
        TRunResult r = d.Run(done, deadline);
        if (r != TRunResult::rrDone || ec) {
            d.CloseSocket();
            if (r == TRunResult::rrTimedOut)
                throw ESocketError(
                    FormatNetMessage("Waiting for a data connection on", listening,
                                     "timed out after " + Millis(timeout)),
                    asio::error::timed_out);
            d.Fail(r, "Waiting for a data connection on", timeout, ec);
        }
        std::error_code peerEc;
        auto remote = d.Socket.remote_endpoint(peerEc);
        if (!peerEc && (expectedPeer.empty() || remote.address().to_string() == expectedPeer)) {
            d.Peer = HostPort(remote.address().to_string(), remote.port());
            break;
        }
        // A third party raced the server to our port: refuse it and keep waiting.
        std::error_code ignored;
        d.Socket.close(ignored);
    }
    std::error_code ignored;
    d.Acceptor.close(ignored);
    d.Socket.set_option(tcp::no_delay(true), ignored);
    d.ApplyKeepAlive();
    d.Status(TConnectionStatus::csConnected, "Connected.");
}

namespace {

std::shared_ptr<asio::ssl::context> NewClientContext(bool verifyPeer) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    if (!verifyPeer) {
        context->set_verify_mode(asio::ssl::verify_none);
        return context;
    }
    // The system store stays in force; SSL_CERT_FILE adds to it (a test CA) instead of
    // replacing it as OpenSSL's own default lookup would.
    std::error_code ignored;
    const char* systemFile = X509_get_default_cert_file();
    if (systemFile != nullptr && std::filesystem::exists(systemFile))
        context->load_verify_file(systemFile, ignored);
    context->add_verify_path(X509_get_default_cert_dir(), ignored);
    if (const char* extra = std::getenv("SSL_CERT_FILE"); extra != nullptr && *extra != '\0') {
        std::error_code ec;
        context->load_verify_file(extra, ec);
        if (ec)
            throw ETLSError(FormatNetMessage("Loading CA file", extra, TLSErrorText(ec)), ec);
    }
    context->set_verify_mode(asio::ssl::verify_peer);
    return context;
}

} // namespace

void TTCPConnection::StartTLS(const TTLSOptions& options) {
    auto& d = *FImpl;
    d.CheckOpen("Starting TLS with");
    d.Ssl.reset();
    // A resumed session keeps its context, so the trust store is loaded once per control connection.
    d.SslContext = options.Resume ? options.Resume->Context : NewClientContext(options.VerifyPeer);
    std::string serverName = options.ServerName.empty() ? d.HostName : options.ServerName;
    d.Ssl.emplace(d.Socket, *d.SslContext);
    SSL* ssl = d.Ssl->native_handle();
    if (options.Resume && SSL_set_session(ssl, options.Resume->Session.get()) != 1)
        throw ETLSError(FormatNetMessage("TLS handshake with", d.Peer, "the session to resume was refused"),
                        std::make_error_code(std::errc::protocol_error));
    std::error_code addressEc;
    asio::ip::make_address(serverName, addressEc);
    if (addressEc) // SNI carries names only, never literal addresses
        SSL_set_tlsext_host_name(ssl, serverName.c_str());
    if (options.VerifyPeer) {
        if (addressEc)
            SSL_set1_host(ssl, serverName.c_str());
        else
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), serverName.c_str());
    }

    bool done = false;
    std::error_code ec;
    d.Ssl->async_handshake(asio::ssl::stream_base::client, [&](const std::error_code& e) {
        ec = e;
        done = true;
    });
    TRunResult r = d.Run(done, d.ReadDeadline());
    if (r != TRunResult::rrDone || ec) {
        std::string reason;
        if (r == TRunResult::rrDone && options.VerifyPeer) {
            long verify = SSL_get_verify_result(ssl);
            if (verify != X509_V_OK)
                reason = X509_verify_cert_error_string(verify);
        }
        d.CloseSocket();
        if (!reason.empty())
            throw ETLSError(FormatNetMessage("TLS handshake with", d.Peer, "certificate verify failed: " + reason),
                            ec);
        d.Fail(r, "TLS handshake with", d.ReadTimeout, ec);
    }
    d.Status(TConnectionStatus::csStatusText,
             fmt::format("TLS started ({}{}).", SSL_get_version(ssl),
                         SSL_session_reused(ssl) ? ", session resumed" : ""));
}

bool TTCPConnection::TLSActive() const {
    return FImpl->Ssl.has_value();
}

std::shared_ptr<const TTLSSession> TTCPConnection::TLSSession() const {
    auto& d = *FImpl;
    if (!d.Ssl)
        return nullptr;
    SSL_SESSION* session = SSL_get1_session(d.Ssl->native_handle());
    if (session == nullptr)
        return nullptr;
    return std::make_shared<const TTLSSession>(d.SslContext, session);
}

void TTCPConnection::SetReadTimeout(std::chrono::milliseconds timeout) {
    FImpl->ReadTimeout = timeout;
}

std::chrono::milliseconds TTCPConnection::ReadTimeout() const {
    return FImpl->ReadTimeout;
}

void TTCPConnection::SetKeepAlive(const TKeepAliveSettings& settings) {
    FImpl->KeepAlive = settings;
    FImpl->ApplyKeepAlive();
}

std::size_t TTCPConnection::ReadSome(char* data, std::size_t size) {
    auto& d = *FImpl;
    if (size == 0)
        return 0;
    if (d.InBegin < d.InEnd) {
        std::size_t n = std::min(size, d.InEnd - d.InBegin);
        std::memcpy(data, d.In.data() + d.InBegin, n);
        Consume(n);
        return n;
    }
    d.CheckOpen("Reading from");
    size = d.ChunkLimit(size);
    bool done = false;
    std::error_code ec;
    std::size_t got = 0;
    d.AsyncReadSome(asio::buffer(data, size), [&](const std::error_code& e, std::size_t n) {
        ec = e;
        got = n;
        done = true;
    });
    TRunResult r = d.Run(done, d.ReadDeadline());
    if (r != TRunResult::rrDone)
        d.Fail(r, "Reading from", d.ReadTimeout, ec);
    if (got > 0) {
        for (auto& i : d.Intercepts)
            i->Received(std::string_view(data, got));
        d.Pace("Reading from");
        return got;
    }
    if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated)
        return 0;
    d.Fail(r, "Reading from", d.ReadTimeout, ec);
}

bool TTCPConnection::FillBuffer(Clock::time_point deadline) {
    auto& d = *FImpl;
    d.CheckOpen("Reading from");
    if (d.InBegin == d.InEnd) {
        d.InBegin = d.InEnd = 0;
    } else if (d.InEnd == d.In.size()) {
        std::memmove(d.In.data(), d.In.data() + d.InBegin, d.InEnd - d.InBegin);
        d.InEnd -= d.InBegin;
        d.InBegin = 0;
    }
    if (d.InEnd == d.In.size())
        throw EProtocolError(FormatNetMessage("Reading from", d.Peer, "receive buffer full"));
    bool done = false;
    std::error_code ec;
    std::size_t space = d.ChunkLimit(d.In.size() - d.InEnd);
    std::size_t start = d.InEnd;
    // The handler commits the bytes itself, so data read just before an abort is not lost.
    d.AsyncReadSome(asio::buffer(d.In.data() + d.InEnd, space), [&](const std::error_code& e, std::size_t n) {
        ec = e;
        d.InEnd += n;
        done = true;
    });
    TRunResult r = d.Run(done, deadline, true, true);
    if (d.InEnd > start) {
        for (auto& i : d.Intercepts)
            i->Received(std::string_view(d.In.data() + start, d.InEnd - start));
    }
    if (r == TRunResult::rrWoken) {
        if (d.InEnd > start || !ec || ec == asio::error::operation_aborted)
            return true;
        r = TRunResult::rrDone; // the read ended on its own as the wake came
    }
    if (r != TRunResult::rrDone)
        d.Fail(r, "Reading from", d.ReadTimeout, ec);
    if (d.InEnd > start)
        return true;
    if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated)
        return false;
    d.Fail(r, "Reading from", d.ReadTimeout, ec);
}

std::string_view TTCPConnection::Buffered() const {
    return {FImpl->In.data() + FImpl->InBegin, FImpl->InEnd - FImpl->InBegin};
}

void TTCPConnection::Consume(std::size_t count) {
    auto& d = *FImpl;
    d.InBegin += std::min(count, d.InEnd - d.InBegin);
    if (d.InBegin == d.InEnd)
        d.InBegin = d.InEnd = 0;
}

std::string TTCPConnection::ReadLn(std::size_t maxLength) {
    std::string line;
    for (;;) {
        std::string_view buffered = Buffered();
        std::size_t lf = buffered.find('\n');
        std::string_view piece = lf == std::string_view::npos ? buffered : buffered.substr(0, lf);
        if (line.size() + piece.size() > maxLength + 1)
            throw EProtocolError(
                FormatNetMessage("Reading from", FImpl->Peer, fmt::format("line longer than {} bytes", maxLength)));
        line.append(piece);
        if (lf != std::string_view::npos) {
            Consume(lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.size() > maxLength)
                throw EProtocolError(FormatNetMessage("Reading from", FImpl->Peer,
                                                      fmt::format("line longer than {} bytes", maxLength)));
            return line;
        }
        Consume(piece.size());
        if (!FillBuffer(FImpl->ReadDeadline()))
            throw EConnClosedGracefully(FormatNetMessage("Reading from", FImpl->Peer, "connection closed by peer"));
    }
}

void TTCPConnection::Write(std::string_view data) {
    auto& d = *FImpl;
    d.CheckOpen("Writing to");
    while (!data.empty()) {
        // An abort already asked for stops the write before another byte goes out.
        if (d.Aborted())
            d.Fail(TRunResult::rrAborted, "Writing to", d.ReadTimeout, {});
        std::size_t n = d.ChunkLimit(data.size());
        std::string_view chunk = data.substr(0, n);
        for (auto& i : d.Intercepts)
            i->Sent(chunk);
        bool done = false;
        std::error_code ec;
        d.AsyncWrite(asio::buffer(chunk.data(), chunk.size()), [&](const std::error_code& e, std::size_t) {
            ec = e;
            done = true;
        });
        TRunResult r = d.Run(done, d.ReadDeadline());
        // A chunk that went out whole before an abort was noticed counts as written: a command line
        // then stays in step (its reply is owed) instead of costing the connection.
        bool wholeChunkWritten = r == TRunResult::rrAborted && !ec;
        if ((r != TRunResult::rrDone && !wholeChunkWritten) || ec)
            d.Fail(r, "Writing to", d.ReadTimeout, ec);
        data.remove_prefix(n);
        d.Pace("Writing to");
    }
}

void TTCPConnection::ShutdownSend() {
    auto& d = *FImpl;
    if (!d.Socket.is_open())
        return;
    if (d.Ssl) {
        // close_notify first, so a TLS peer sees a clean end of data.
        bool done = false;
        d.Ssl->async_shutdown([&](const std::error_code&) { done = true; });
        d.Run(done, Clock::now() + std::min(d.ReadTimeout, std::chrono::milliseconds(2000)));
    }
    std::error_code ignored;
    d.Socket.shutdown(tcp::socket::shutdown_send, ignored);
}

void TTCPConnection::Disconnect() {
    auto& d = *FImpl;
    bool wasOpen = d.Socket.is_open();
    if (wasOpen)
        d.Status(TConnectionStatus::csDisconnecting, "Disconnecting.");
    if (wasOpen && d.Ssl && !d.Aborted()) {
        bool done = false;
        d.Ssl->async_shutdown([&](const std::error_code&) { done = true; });
        d.Run(done, Clock::now() + std::min(d.ReadTimeout, std::chrono::milliseconds(2000)));
    }
    std::error_code ignored;
    d.Socket.shutdown(tcp::socket::shutdown_both, ignored);
    d.CloseSocket();
    if (wasOpen)
        d.Status(TConnectionStatus::csDisconnected, "Disconnected.");
}

void TTCPConnection::DisconnectWithReset() {
    auto& d = *FImpl;
    if (d.Socket.is_open()) {
        std::error_code ignored;
        d.Socket.set_option(asio::socket_base::linger(true, 0), ignored);
    }
    Disconnect();
}

void TTCPConnection::Abort() {
    FImpl->AbortFlag.store(true);
    FImpl->Io.stop();
}

void TTCPConnection::ClearAbort() {
    FImpl->AbortFlag.store(false);
}

void TTCPConnection::Wake() {
    FImpl->WakeFlag.store(true);
    FImpl->Io.stop();
}

void TTCPConnection::SetStopToken(std::stop_token token) {
    auto& d = *FImpl;
    d.StopWake.reset();
    d.StopToken = std::move(token);
    d.StopWake.emplace(d.StopToken, [&d] { d.Io.stop(); });
}

bool TTCPConnection::AbortRequested() const {
    return FImpl->Aborted();
}

bool TTCPConnection::IsOpen() const {
    return FImpl->Socket.is_open();
}

bool TTCPConnection::Connected() {
    auto& d = *FImpl;
    if (!d.Socket.is_open())
        return false;
    // POLLRDHUP reports a peer that closed even when its last words (a 421) are still unread.
    pollfd p{};
    p.fd = d.Socket.native_handle();
    p.events = POLLIN | POLLRDHUP;
    if (::poll(&p, 1, 0) < 0)
        return errno == EINTR;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

std::string TTCPConnection::PeerText() const {
    return FImpl->Peer;
}

std::string TTCPConnection::PeerAddress() const {
    std::error_code ec;
    auto ep = FImpl->Socket.remote_endpoint(ec);
    return ec ? std::string() : ep.address().to_string();
}

std::string TTCPConnection::LocalAddress() const {
    std::error_code ec;
    auto ep = FImpl->Socket.local_endpoint(ec);
    return ec ? std::string() : ep.address().to_string();
}

void TTCPConnection::AddIntercept(std::shared_ptr<IConnectionIntercept> intercept) {
    if (intercept)
        FImpl->Intercepts.push_back(std::move(intercept));
}

void TTCPConnection::AnnounceStatus(TConnectionStatus status, std::string_view text) {
    FImpl->Status(status, text);
}

void TTCPConnection::RemoveIntercept(const std::shared_ptr<IConnectionIntercept>& intercept) {
    auto& v = FImpl->Intercepts;
    v.erase(std::remove(v.begin(), v.end(), intercept), v.end());
}

} // namespace zr::net
