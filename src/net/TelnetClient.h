// A Telnet session on our transport: a reading thread turns what the server sends into data and
// status events and answers its option negotiations; lines are written from the caller's thread.
#pragma once

#include "net/TCPConnection.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

namespace zr::net {

class TTelnetClient {
public:
    // Data and status events come on the reading thread, except the status texts of connecting and
    // disconnecting, which come on the thread that asked for them. Handlers must not throw.
    using TDataEvent = std::function<void(std::string_view data)>;
    using TStatusEvent = std::function<void(std::string_view text)>;

    std::string Host;
    std::uint16_t Port = 23;
    std::chrono::milliseconds ConnectTimeout{30000};
    // How long a line may take to go out to a server that takes nothing.
    std::chrono::milliseconds WriteTimeout{30000};
    TDataEvent OnData;
    TStatusEvent OnStatus;

    TTelnetClient();
    ~TTelnetClient();
    TTelnetClient(const TTelnetClient&) = delete;
    TTelnetClient& operator=(const TTelnetClient&) = delete;

    // Connects and starts the reading thread. Throws ENetError.
    void Connect();
    // Sends the line with CR LF once it is on the wire. A line holding CR, LF or NUL is refused with
    // EUnsafeCommand before anything is written (its text is not shown: it may be a password).
    void WriteLine(std::string_view line);
    // True while the reading thread runs, that is until the server closes or the session fails.
    bool Connected() const;
    // Ends the reading thread and closes; never throws.
    void Disconnect();
    // Safe from any thread: a connect or write in progress fails with EOperationAborted at once,
    // and the reading thread ends.
    void Abort();
    // A stop through the token aborts as Abort does, the name lookup and connect included.
    void SetStopToken(std::stop_token token);

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

} // namespace zr::net
