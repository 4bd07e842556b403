#include "telnet/ZRTelnetClient.h"

#include "host/CryptoUtils.h"
#include "host/Registration.h"
#include "net/NetErrors.h"
#include "net/TelnetClient.h"
#include "net/TextUtil.h"

#include <algorithm>
#include <fmt/format.h>

namespace zr {

using namespace quillate;

namespace {

constexpr int PollMs = 50;

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

const TMetaClass& TTelnetScriptItem::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TTelnetScriptItem>(
        "TTelnetScriptItem", "telnet.scriptitem", &TSerializableObject::ClassInfo(), [](TPropertyTable& t) {
            using T = TTelnetScriptItem;
            TPropertyBuilder<T>(t)
                .String("SendText", &T::FSendText)
                .Help("Line to send; \"@USERNAME\" and \"@PASSWORD\" stand for the action's user name and password")
                .String("WaitFor", &T::FWaitFor)
                .Help("Text to wait for before sending; empty sends at once")
                .Int("WaitTimeout", &T::FWaitTimeout)
                .Help("Milliseconds to wait for WaitFor")
                .Bool("Enabled", &T::FEnabled)
                .Bool("FailIfTimedOut", &T::FFailIfTimedOut)
                .Help("A wait that runs out fails the action");
        });
    return meta;
}

struct TTelnetActionProperties {
    using T = TCustomTelnetClientAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .String("Host", &T::FHost)
            .Int("Port", &T::FPort)
            .Port()
            .String("UserName", &T::FUserName)
            .Help("Sent for \"@USERNAME\"")
            .String("Password", &T::GetPassword, &T::SetPassword)
            .NotStored()
            .Help("Sent for \"@PASSWORD\"; stored as EncryptedPassword")
            .String("EncryptedPassword", &T::GetEncryptedPassword, &T::SetEncryptedPassword)
            .Hidden()
            .Encrypted(T::PasswordKey)
            .Help("The password in its stored form (quillate encrypt --for telnet.client.EncryptedPassword)");
    }
};

TCustomTelnetClientAction::TCustomTelnetClientAction()
    : FLog([this](net::TLogEventType type, std::string_view text) { LogEvent(type, text); }) {
    // What the server sends is the session the script asked for: all of it is logged.
    FLog.SetMaxReceivedLines(0);
    SetCanTerminate(true);
}

const TMetaClass& TCustomTelnetClientAction::ClassInfo() {
    static const TMetaClass meta =
        TMetaClass::Of<TCustomTelnetClientAction>("TCustomTelnetClientAction", "", &TZRAction::ClassInfo());
    return meta;
}

const TMetaClass& TTelnetClientAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TTelnetClientAction>(
        "TTelnetClientAction", "telnet.client", &TCustomTelnetClientAction::ClassInfo(), &TTelnetActionProperties::Define);
    return meta;
}

void TCustomTelnetClientAction::SetPassword(const std::string& clearText) {
    FPassword = clearText;
    FEncryptedPassword = EncryptString(clearText, PasswordKey);
}

// The stored text is kept as it came, so that a project saves back unchanged.
void TCustomTelnetClientAction::SetEncryptedPassword(const std::string& stored) {
    FPassword = quillate::DecryptString(stored, PasswordKey, "telnet.client.EncryptedPassword");
    FEncryptedPassword = stored;
}

void TCustomTelnetClientAction::GetChildren(TSerializableList& children) const {
    TZRAction::GetChildren(children);
    children.insert(children.end(), FItems.begin(), FItems.end());
}

void TCustomTelnetClientAction::AddChildObject(std::shared_ptr<TSerializableObject> child) {
    TZRAction::AddChildObject(child);
    if (auto item = std::dynamic_pointer_cast<TTelnetScriptItem>(child))
        FItems.push_back(std::move(item));
}

TTelnetScriptItemPtr TCustomTelnetClientAction::GetScriptItem(int index) const {
    if (index < 0 || index >= GetScriptItemCount())
        return nullptr;
    return FItems[static_cast<std::size_t>(index)];
}

TTelnetScriptItemPtr TCustomTelnetClientAction::AddScriptItem(const std::string& sendText, const std::string& waitFor,
                                                              std::int32_t waitTimeout, bool enabled,
                                                              bool failIfTimedOut) {
    auto item = std::make_shared<TTelnetScriptItem>(sendText, waitFor, waitTimeout, enabled, failIfTimedOut);
    FItems.push_back(item);
    return item;
}

void TCustomTelnetClientAction::AddScriptItem(TTelnetScriptItemPtr item) {
    if (item)
        FItems.push_back(std::move(item));
}

bool TCustomTelnetClientAction::Validate(TValidationErrors& errors) {
    bool valid = TZRAction::Validate(errors);
    if (FHost.empty()) {
        errors.push_back({"Host", "Host has not been set"});
        valid = false;
    }
    if (FItems.empty()) {
        errors.push_back({"Telnet Script", "No Telnet actions have been specified"});
        valid = false;
    }
    return valid;
}

// On the client's reading thread.
void TCustomTelnetClientAction::Received(std::string_view bytes) {
    std::string text = DecodeAscii(bytes);
    FBuffer.Append(text);
    if (!FRunning)
        return;
    std::lock_guard lock(FLogLock);
    FLog.Received(FLogHoldback.Pass(text));
}

// Called with FLogLock held, on whichever thread fed the log.
void TCustomTelnetClientAction::LogEvent(net::TLogEventType type, std::string_view text) {
    if (!FRunning)
        return;
    if (type == net::TLogEventType::Status) {
        std::string clean = CleanLogText(text);
        if (!clean.empty())
            SendMessage("STATUS: " + clean, stInformation);
        return;
    }
    // The server may echo the password back: it never reaches the log in any form we can see.
    std::string clean = CleanLogText(MaskSecret(std::string(text), FExpandedPassword));
    std::size_t start = 0;
    for (;;) {
        std::size_t lf = clean.find('\n', start);
        SendMessage("<< " + clean.substr(start, lf - start), stInformation);
        if (lf == std::string::npos || lf + 1 == clean.size())
            break;
        start = lf + 1;
    }
}

void TCustomTelnetClientAction::FlushReceivedLog(bool endOfStream) {
    std::lock_guard lock(FLogLock);
    if (endOfStream)
        FLog.Received(FLogHoldback.Rest());
    FLog.FlushReceived();
}

TCustomTelnetClientAction::TWaitResult TCustomTelnetClientAction::WaitFor(const std::string& text,
                                                                          std::int32_t timeoutMs) {
    std::int64_t budget = timeoutMs;
    FBuffer.Expect(text);
    while (!FBuffer.Contains(text) && budget >= 0) {
        Sleep(PollMs);
        budget -= PollMs;
        if (GetRunStopped()) {
            FBuffer.Take(text);
            SendMessage("Action Terminated by User", stInformation);
            return TWaitResult::wrTerminated;
        }
    }
    return FBuffer.Take(text) ? TWaitResult::wrFound : TWaitResult::wrTimedOut;
}

bool TCustomTelnetClientAction::RunItem(net::TTelnetClient& client, const std::string& user,
                                        const TTelnetScriptItem& item) {
    std::string waitFor;
    if (!StepInline("", [&] { waitFor = ExpandExpression(item.FWaitFor, false); }))
        return false;
    if (!waitFor.empty()) {
        SendMessage(fmt::format("STATUS: Waiting [{}ms] for {}", item.FWaitTimeout, Quoted(waitFor)), stInformation);
        SendMessage("", stInformation);
        TWaitResult result = TWaitResult::wrTimedOut;
        if (!Step("STATUS: Error while waiting for " + Quoted(waitFor),
                  [&] { result = WaitFor(waitFor, item.FWaitTimeout); }))
            return false;
        FlushReceivedLog();
        // Nothing more goes to the server once the user stopped the run.
        if (result == TWaitResult::wrTerminated)
            return false;
        if (result == TWaitResult::wrFound) {
            SendMessage("STATUS: Found " + Quoted(waitFor), stInformation);
        } else {
            SendMessage("STATUS: Timed out waiting for " + Quoted(waitFor), stInformation);
            if (item.FFailIfTimedOut)
                return false;
        }
        SendMessage("", stInformation);
    }

    std::string upper = item.FSendText;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    const bool isPassword = upper == "@PASSWORD";
    std::string text;
    if (isPassword)
        text = FExpandedPassword;
    else if (upper == "@USERNAME")
        text = user;
    else {
        try {
            text = ExpandExpression(item.FSendText, false);
        } catch (const std::exception& e) {
            SendMessage("STATUS: Error Expanding script text", stError);
            SendMessage(std::string("STATUS: ") + e.what(), stError);
            return false;
        }
    }
    if (text.empty())
        return true;
    if (!Step("STATUS: Error Sending script text", [&] { client.WriteLine(text); }))
        return false;
    SendMessage(">> " + (isPassword ? std::string("@PASSWORD") : text), stInformation);
    return true;
}

bool TCustomTelnetClientAction::RunItems(net::TTelnetClient& client, const std::string& user) {
    for (std::size_t i = 0; i < FItems.size(); ++i) {
        if (GetRunStopped()) {
            SendMessage("Action Terminated by user.", stError);
            return false;
        }
        SendMessage(fmt::format("STATUS: Processing Script Item {}", i), stInformation);
        if (!FItems[i]->FEnabled)
            continue;
        if (!RunItem(client, user, *FItems[i]))
            return false;
    }
    return true;
}

bool TCustomTelnetClientAction::Execute() {
    std::string host, user, password;
    if (!TryExpandExpression("Host", FHost, host, true) || !TryExpandExpression("UserName", FUserName, user, false) ||
        !TryExpandPassword("Password", FPassword, password))
        return false;
    if (std::none_of(FItems.begin(), FItems.end(), [](const TTelnetScriptItemPtr& item) { return item->FEnabled; })) {
        SendMessage("No Telnet actions have been specified", stError);
        return false;
    }
    FExpandedPassword = password;
    FLogHoldback.SetSecret(password);
    FBuffer.Take({});

    net::TTelnetClient client;
    client.Host = host;
    client.Port = static_cast<std::uint16_t>(std::clamp(FPort, 0, 65535));
    client.OnData = [this](std::string_view bytes) { Received(bytes); };
    client.OnStatus = [this](std::string_view text) {
        std::lock_guard lock(FLogLock);
        FLog.Status(net::TConnectionStatus::csStatusText, text);
    };
    // A stop ends a name lookup, a connect or a write at once, and the wait within one polling step.
    client.SetStopToken(GetStopToken());
    FRunning = true;
    bool result = StepInline("STATUS: Error while Connecting : ", [&] {
        if (FPort < 1 || FPort > 65535)
            throw net::ENetError(fmt::format("port {} is out of range", FPort));
        client.Connect();
    });
    if (result && GetRunStopped()) {
        SendMessage("Action Terminated by user.", stError);
        result = false;
    } else if (result) {
        result = StepInline("Error : ", [&] { return RunItems(client, user); });
    }
    client.Disconnect();
    FlushReceivedLog(true);
    FRunning = false;
    FExpandedPassword.clear();
    return result;
}

} // namespace zr
