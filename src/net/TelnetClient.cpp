#include "net/TelnetClient.h"

#include "net/NetErrors.h"
#include "net/TelnetParser.h"
#include "net/TextUtil.h"

#include <fmt/format.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <optional>
#include <mutex>
#include <thread>

namespace zr::net {

namespace {

// The reading thread waits this long for data before it simply waits again: a Telnet session may
// be silent for as long as it likes.
constexpr std::chrono::hours IdleWait{1};

// Hands the connection's own status texts (resolving, connected, disconnected) to the client's event.
class TStatusForwarder : public IConnectionIntercept {
public:
    explicit TStatusForwarder(const TTelnetClient::TStatusEvent& onStatus) : FOnStatus(onStatus) {}
    void Status(TConnectionStatus, std::string_view text) override {
        if (FOnStatus)
            FOnStatus(text);
    }

private:
    const TTelnetClient::TStatusEvent& FOnStatus;
};

} // namespace

// The connection is driven by one thread at a time: the reading thread owns it from Connect to
// Disconnect and writes what the caller queues. A caller that queues a line while the reading
// thread sits in a read wakes it with the connection's Wake.
struct TTelnetClient::TImpl {
    TTelnetClient& Owner;
    TTCPConnection Connection;
    TTelnetParser Parser;
    std::thread Reader;

    std::mutex Lock;
    std::condition_variable Changed;
    std::string Pending;           // bytes queued for the reading thread to write
    std::uint64_t Queued = 0;      // lines queued so far
    std::uint64_t Written = 0;     // lines on the wire so far
    bool BlockedInRead = false;
    bool Running = false;
    std::string Failure;           // why the reading thread ended, when a write was lost with it
    std::atomic<bool> Stopping{false};
    std::optional<std::stop_callback<std::function<void()>>> StopWatch;

    explicit TImpl(TTelnetClient& owner) : Owner(owner) {}

    void Status(std::string_view text) {
        if (Owner.OnStatus)
            Owner.OnStatus(text);
    }

    // Writes what is queued until nothing is, and marks the thread as about to read in the same
    // step that finds the queue empty: a line queued after that wakes the read, one queued before
    // it is written here. Always true; a failed write throws.
    bool WritePending() {
        for (;;) {
            std::string out;
            std::uint64_t upTo = 0;
            {
                std::lock_guard lock(Lock);
                if (Pending.empty()) {
                    BlockedInRead = true;
                    return true;
                }
                out.swap(Pending);
                upTo = Queued;
                BlockedInRead = false;
            }
            Connection.Write(out);
            std::lock_guard lock(Lock);
            Written = upTo;
            Changed.notify_all();
        }
    }

    // Reads one chunk; false when the server closed the stream.
    bool ReadChunk() {
        bool more = false;
        try {
            more = Connection.FillBuffer(TTCPConnection::Clock::now() + IdleWait);
        } catch (const EReadTimeout&) {
            more = true;
        }
        {
            std::lock_guard lock(Lock);
            BlockedInRead = false;
        }
        std::string_view bytes = Connection.Buffered();
        if (bytes.empty())
            return more;
        TTelnetParser::TReceived received;
        {
            std::lock_guard lock(Lock);
            received = Parser.Receive(bytes);
            Pending += received.Answers;
        }
        Connection.Consume(bytes.size());
        if (!received.Fault.empty())
            Status("Telnet protocol error: " + received.Fault);
        if (!received.Data.empty() && Owner.OnData)
            Owner.OnData(received.Data);
        return more;
    }

    void ReadLoop() {
        std::string failure, status;
        try {
            while (WritePending() && ReadChunk()) {
            }
            status = "Connection closed by the server.";
            failure = FormatNetMessage("Writing to", Connection.PeerText(), "connection closed by peer");
        } catch (const EOperationAborted& e) {
            failure = e.what();
        } catch (const std::exception& e) {
            status = failure = e.what();
        }
        {
            std::lock_guard lock(Lock);
            Running = false;
            Failure = failure;
            Changed.notify_all();
        }
        if (!status.empty())
            Status(status);
    }
};

TTelnetClient::TTelnetClient() : FImpl(std::make_unique<TImpl>(*this)) {
    FImpl->Connection.AddIntercept(std::make_shared<TStatusForwarder>(OnStatus));
}

TTelnetClient::~TTelnetClient() {
    Disconnect();
}

void TTelnetClient::Connect() {
    auto& d = *FImpl;
    if (d.Reader.joinable())
        throw EAlreadyConnected(FormatNetMessage("Connecting to", d.Connection.PeerText(), "already connected"));
    d.Connection.SetReadTimeout(WriteTimeout);
    d.Connection.Connect(Host, Port, ConnectTimeout);
    std::lock_guard lock(d.Lock);
    d.Running = true;
    d.Reader = std::thread([&d] { d.ReadLoop(); });
}

void TTelnetClient::WriteLine(std::string_view line) {
    auto& d = *FImpl;
    if (HoldsLineBreakOrNul(line))
        throw EUnsafeCommand(FormatNetMessage("Sending to", d.Connection.PeerText(), "a line holds CR, LF or NUL"));
    std::unique_lock lock(d.Lock);
    if (d.Stopping)
        throw EOperationAborted(FormatNetMessage("Writing to", d.Connection.PeerText(), "operation aborted"));
    if (!d.Running)
        throw ENotConnected(d.Failure.empty() ? FormatNetMessage("Writing to", d.Connection.PeerText(), "not connected")
                                              : d.Failure);
    d.Pending += d.Parser.EncodeLine(line);
    std::uint64_t ticket = ++d.Queued;
    if (d.BlockedInRead)
        d.Connection.Wake();
    // The reading thread writes the line at once; the bound only keeps a fault from hanging a run.
    bool ended = d.Changed.wait_for(lock, WriteTimeout,
                                    [&] { return d.Written >= ticket || !d.Running || d.Stopping; });
    if (d.Written >= ticket)
        return;
    if (d.Stopping)
        throw EOperationAborted(FormatNetMessage("Writing to", d.Connection.PeerText(), "operation aborted"));
    if (!ended)
        throw EReadTimeout(FormatNetMessage("Writing to", d.Connection.PeerText(),
                                            fmt::format("the line was not sent within {} ms", WriteTimeout.count())));
    throw ENotConnected(d.Failure);
}

bool TTelnetClient::Connected() const {
    std::lock_guard lock(FImpl->Lock);
    return FImpl->Running;
}

void TTelnetClient::Disconnect() {
    auto& d = *FImpl;
    if (d.Reader.joinable()) {
        d.Stopping = true;
        d.Connection.Abort();
        d.Reader.join();
    }
    d.Connection.ClearAbort();
    d.Connection.Disconnect();
    d.Stopping = false;
}

void TTelnetClient::Abort() {
    auto& d = *FImpl;
    d.Stopping = true;
    d.Connection.Abort();
    std::lock_guard lock(d.Lock);
    d.Changed.notify_all();
}

void TTelnetClient::SetStopToken(std::stop_token token) {
    auto& d = *FImpl;
    d.StopWatch.reset();
    d.Connection.SetStopToken(token);
    d.StopWatch.emplace(std::move(token), [this] { Abort(); });
}

} // namespace zr::net
