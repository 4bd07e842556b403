// Protocol log of a connection: the traffic of either direction as whole lines, sent lines masked,
// and status texts, all handed to one event.
#pragma once

#include "net/ConnectionIntercept.h"
#include "net/SentLineMasker.h"

#include <functional>
#include <string>
#include <string_view>

namespace zr::net {

enum class TLogEventType { Received, Sent, Status };

// Splits a stream into log lines: a line ends at a CR, and an LF right after that CR is dropped
// (also when the next chunk brings it); an LF alone stays in the line unless it ends what has
// arrived. The line held at the end of a chunk waits for its end.
class TLogLineSplitter {
public:
    using TLineEvent = std::function<void(std::string_view line)>;

    // A longer line is cut there and the rest of it dropped: a peer cannot make the log hold more,
    // and no piece of a sent line ever reaches the log without the start that masks it.
    static constexpr std::size_t MaxLine = 64 * 1024;

    void Feed(std::string_view data, const TLineEvent& onLine);
    // Delivers the line held so far, if any.
    void Flush(const TLineEvent& onLine);

private:
    std::string FHeld;
    bool FAfterCR = false;
    bool FCut = false;
};

class TLogEventIntercept : public IConnectionIntercept {
public:
    using TLogEvent = std::function<void(TLogEventType type, std::string_view text)>;

    TLogEventIntercept() = default;
    explicit TLogEventIntercept(TLogEvent onLog) : FOnLog(std::move(onLog)) {}

    void SetOnLog(TLogEvent onLog) { FOnLog = std::move(onLog); }
    // Received lines past this many since the last line sent are counted, not logged, and one status
    // text says how many there were: a peer streaming a reply for ever cannot flood the log. 0: no bound,
    // for a session whose received text is what the user asked to see (Telnet).
    static constexpr std::size_t DefaultMaxReceivedLines = 1000;
    void SetMaxReceivedLines(std::size_t lines) { FMaxReceivedLines = lines; }

    void Received(std::string_view data) override;
    void Sent(std::string_view data) override;
    // A status change first delivers a received line still waiting for its end, so the log keeps
    // the order in which things happened. Sent data between csDataBlockStart and csDataBlockEnd is
    // not shown.
    void Status(TConnectionStatus status, std::string_view text) override;
    // Delivers a received line still waiting for its end (a prompt) without a status of its own.
    void FlushReceived();

private:
    void Deliver(TLogEventType type, std::string_view text);
    void ReceivedLine(std::string_view line);
    // The status text for the received lines left out, if any, and a new count.
    void ReportUnshown();

    TLogEvent FOnLog;
    TLogLineSplitter FReceived;
    TLogLineSplitter FSent;
    TSentLineMasker FMasker;
    // A message's data stays out of the log: it may be large, and it is the user's, not protocol.
    bool FInDataBlock = false;
    std::size_t FMaxReceivedLines = DefaultMaxReceivedLines;
    std::size_t FReceivedLines = 0; // since the last line sent
};

} // namespace zr::net
