// Observer of a connection's traffic and state; the protocol log and the throttle are intercepts.
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>
#include <string_view>

namespace zr::net {

enum class TConnectionStatus {
    csResolving,
    csConnecting,
    csConnected,
    csDisconnecting,
    csDisconnected,
    csStatusText,
    // A dot-terminated data block (a message) goes out between these two; a protocol log shows
    // their texts instead of the data.
    csDataBlockStart,
    csDataBlockEnd,
};

class IConnectionIntercept {
public:
    virtual ~IConnectionIntercept() = default;

    // Each chunk exactly as it came off or went onto the wire (before TLS encryption).
    virtual void Received(std::string_view /*data*/) {}
    virtual void Sent(std::string_view /*data*/) {}
    virtual void Status(TConnectionStatus /*status*/, std::string_view /*text*/) {}

    // How long the connection must wait after the chunk just moved before moving the next one.
    // The wait runs inside the connection so that Abort cuts it short.
    virtual std::chrono::steady_clock::duration PaceDelay() { return {}; }
    // Largest chunk the connection should move in one call; a paced channel keeps chunks small.
    virtual std::size_t MaxChunk() const { return std::numeric_limits<std::size_t>::max(); }
};

} // namespace zr::net
