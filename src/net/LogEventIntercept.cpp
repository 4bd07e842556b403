#include "net/LogEventIntercept.h"

namespace zr::net {

void TLogEventIntercept::Deliver(TLogEventType type, std::string_view text) {
    if (FOnLog)
        FOnLog(type, text);
}

void TLogEventIntercept::Received(std::string_view data) {
    Deliver(TLogEventType::Received, data);
}

void TLogEventIntercept::Sent(std::string_view data) {
    Deliver(TLogEventType::Sent, data);
}

void TLogEventIntercept::Status(TConnectionStatus, std::string_view text) {
    Deliver(TLogEventType::Status, text);
}

} // namespace zr::net
