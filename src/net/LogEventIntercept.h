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
    // An inactive log stays attached but delivers nothing.
    void SetActive(bool active) { FActive = active; }
    bool Active() const { return FActive; }

    void Received(std::string_view data) override;
    void Sent(std::string_view data) override;
    void Status(TConnectionStatus status, std::string_view text) override;

private:
    void Deliver(TLogEventType type, std::string_view text);

    TLogEvent FOnLog;
    bool FActive = true;
};

} // namespace zr::net
