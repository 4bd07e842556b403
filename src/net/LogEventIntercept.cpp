#include "net/LogEventIntercept.h"

#include <fmt/format.h>

namespace zr::net {

void TLogLineSplitter::Feed(std::string_view data, const TLineEvent& onLine) {
    for (char c : data) {
        bool afterCR = FAfterCR;
        FAfterCR = c == '\r';
        if (c == '\r') {
            if (!FCut)
                onLine(FHeld);
            FHeld.clear();
            FCut = false;
        } else if (!(c == '\n' && afterCR) && !FCut) {
            FHeld += c;
            if (FHeld.size() == MaxLine) {
                onLine(FHeld);
                FHeld.clear();
                FCut = true;
            }
        }
    }
    // A peer that ends its lines with LF alone would otherwise be logged only at the next status.
    if (!FCut && !FHeld.empty() && FHeld.back() == '\n') {
        FHeld.pop_back();
        onLine(FHeld);
        FHeld.clear();
    }
}

void TLogLineSplitter::Flush(const TLineEvent& onLine) {
    if (!FHeld.empty() && !FCut)
        onLine(FHeld);
    FHeld.clear();
    FCut = false;
}

void TLogEventIntercept::Deliver(TLogEventType type, std::string_view text) {
    if (FOnLog)
        FOnLog(type, text);
}

void TLogEventIntercept::ReceivedLine(std::string_view line) {
    FMasker.Received(line);
    if (FMaxReceivedLines == 0 || ++FReceivedLines <= FMaxReceivedLines)
        Deliver(TLogEventType::Received, line);
}

void TLogEventIntercept::ReportUnshown() {
    if (FMaxReceivedLines > 0 && FReceivedLines > FMaxReceivedLines)
        Deliver(TLogEventType::Status,
                fmt::format("{} more received lines not shown", FReceivedLines - FMaxReceivedLines));
    FReceivedLines = 0;
}

void TLogEventIntercept::Received(std::string_view data) {
    FReceived.Feed(data, [this](std::string_view line) { ReceivedLine(line); });
}

void TLogEventIntercept::Sent(std::string_view data) {
    if (FInDataBlock)
        return;
    FSent.Feed(data, [this](std::string_view line) {
        ReportUnshown();
        Deliver(TLogEventType::Sent, FMasker.Sent(line));
    });
}

void TLogEventIntercept::FlushReceived() {
    FReceived.Flush([this](std::string_view line) { ReceivedLine(line); });
}

void TLogEventIntercept::Status(TConnectionStatus status, std::string_view text) {
    FlushReceived();
    ReportUnshown();
    if (status == TConnectionStatus::csConnecting)
        FMasker.Reset();
    FInDataBlock = status == TConnectionStatus::csDataBlockStart;
    Deliver(TLogEventType::Status, text);
}

} // namespace zr::net
