// Protocol log: hands every received and sent chunk and every status text to one event.
#pragma once

#include "net/ConnectionIntercept.h"

#include <functional>
#include <string_view>

namespace zr::net {

enum class TLogEventType { Received, Sent, Status };

class TLogEventIntercept : public IConnectionIntercept {
public:
    using TLogEvent = std::function<void(TLogEventType type, std::string_view text)>;

    TLogEventIntercept() = default;
    explicit TLogEventIntercept(TLogEvent onLog) : FOnLog(std::move(onLog)) {}

    void SetOnLog(TLogEvent onLog) { FOnLog = std::move(onLog); }

    void Received(std::string_view data) override;
    void Sent(std::string_view data) override;
    void Status(TConnectionStatus status, std::string_view text) override;

private:
    void Deliver(TLogEventType type, std::string_view text);

    TLogEvent FOnLog;
};

} // namespace zr::net
