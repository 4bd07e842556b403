// "Telnet Client": connects to a Telnet server and runs a script of items, each waiting for a text
// from the server and then sending a line.
#pragma once

#include "host/Action.h"
#include "net/LogEventIntercept.h"
#include "telnet/ZRTelnetReceive.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zr {

namespace net {
class TTelnetClient;
}

class TTelnetScriptItem : public quillate::TSerializableObject {
public:
    TTelnetScriptItem() = default;
    TTelnetScriptItem(std::string sendText, std::string waitFor, std::int32_t waitTimeout, bool enabled,
                      bool failIfTimedOut)
        : FSendText(std::move(sendText)), FWaitFor(std::move(waitFor)), FWaitTimeout(waitTimeout),
          FEnabled(enabled), FFailIfTimedOut(failIfTimedOut) {}

    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::shared_ptr<TTelnetScriptItem> Clone() const { return std::make_shared<TTelnetScriptItem>(*this); }

    std::string FSendText;
    std::string FWaitFor;
    std::int32_t FWaitTimeout = 2000;
    bool FEnabled = true;
    bool FFailIfTimedOut = false;
};

using TTelnetScriptItemPtr = std::shared_ptr<TTelnetScriptItem>;

class TCustomTelnetClientAction : public quillate::TZRAction {
public:
    // The key of the stored password, the same in every project.
    static constexpr const char* PasswordKey = "qzr7te1netc1ient";

    TCustomTelnetClientAction();
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    bool Execute() override;
    bool Validate(quillate::TValidationErrors& errors) override;
    std::string GetActionName() const override { return "Telnet Client"; }
    int GetHelpTopicID() const override { return 2310; }
    std::string GetQuickHelpFilename() const override { return "Plugins\\Telnet.html"; }
    void GetChildren(quillate::TSerializableList& children) const override;
    void AddChildObject(std::shared_ptr<quillate::TSerializableObject> child) override;
    void ClearChildren() override { ClearItems(); }

    TTelnetScriptItemPtr GetScriptItem(int index) const;
    int GetScriptItemCount() const { return static_cast<int>(FItems.size()); }
    TTelnetScriptItemPtr AddScriptItem(const std::string& sendText, const std::string& waitFor,
                                       std::int32_t waitTimeout, bool enabled, bool failIfTimedOut);
    void AddScriptItem(TTelnetScriptItemPtr item);
    void ClearItems() { FItems.clear(); }

    std::string GetPassword() const { return FPassword; }
    void SetPassword(const std::string& clearText);
    std::string GetEncryptedPassword() const { return FEncryptedPassword; }
    void SetEncryptedPassword(const std::string& stored);

protected:
    std::string FHost;
    std::int32_t FPort = 23;
    std::string FUserName;
    std::string FPassword;
    std::string FEncryptedPassword;

private:
    friend struct TTelnetActionProperties;
    enum class TWaitResult { wrFound, wrTimedOut, wrTerminated };

    bool RunItems(net::TTelnetClient& client, const std::string& user);
    bool RunItem(net::TTelnetClient& client, const std::string& user, const TTelnetScriptItem& item);
    TWaitResult WaitFor(const std::string& text, std::int32_t timeoutMs);
    void Received(std::string_view bytes);
    void LogEvent(net::TLogEventType type, std::string_view text);
    // endOfStream: nothing more comes, so what the holdback kept goes out too.
    void FlushReceivedLog(bool endOfStream = false);

    std::vector<TTelnetScriptItemPtr> FItems;
    TTelnetReceiveBuffer FBuffer;
    // The protocol log: decoded data and status texts from the client, as whole lines.
    std::mutex FLogLock;
    net::TLogEventIntercept FLog;
    TSecretHoldback FLogHoldback; // guarded by FLogLock, as FLog
    std::string FExpandedPassword;
    std::atomic<bool> FRunning{false};
};

class TTelnetClientAction : public TCustomTelnetClientAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

} // namespace zr
