#include "icq/action/ZRICQAction.h"

#include "host/MainThread.h"
#include "host/RegEx.h"
#include "icq/ClientPackets.h"
#include "icq/ICQClient.h"
#include "icq/ICQText.h"
#include "mail/ZRMailCommon.h"

#include <charconv>
#include <chrono>
#include <memory>
#include <stop_token>

namespace zr {

using namespace quillate;

namespace {

// The number a text holds, 0 when it holds anything else or more than 32 bits can say.
std::int64_t NumberOrZero(std::string_view text) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > 0xFFFFFFFFLL || value < -0x80000000LL)
        return 0;
    return value;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// How long the service has to acknowledge or reject an SMS.
constexpr std::chrono::seconds SMSAnswerTime(25);

} // namespace

struct TICQActionProperties {
    using T = TICQAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .String("ICQNumber", &T::FICQNumber)
            .Help("Your ICQ number (UIN)")
            .StoredPassword("Cookie", &T::FCookie, T::PasswordKey)
            .Help("The password in its stored form (quillate encrypt --for action.icq.post.Cookie); the "
                  "service reads at most 16 characters")
            .String("ToICQNumber", &T::FToICQNumber)
            .Help("The recipients, one a line: ICQ numbers, or telephone numbers with SendSMS")
            .String("TheMessage", &T::FTheMessage)
            .String("Server", &T::FServer)
            .Help("The login server; the ICQ service closed in 2024, so name a compatible OSCAR server")
            .UInt("Port", &T::GetPort, &T::SetPort)
            .Port()
            .Bool("SendSMS", &T::FSendSMS)
            .Help("Send the text as SMS to telephone numbers through the service")
            .Int("LoginTimeout", &T::FLoginTimeout)
            .Help("Seconds the login may take before the action fails; 0 waits without a limit");
    }
};

const TMetaClass& TICQAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TICQAction>("TICQAction", "action.icq.post", &TZRAction::ClassInfo(),
                                                              &TICQActionProperties::Define);
    return meta;
}

bool TICQAction::Validate(TValidationErrors& errors) {
    std::size_t before = errors.size();
    TZRAction::Validate(errors);
    auto require = [&](bool missing, const char* property, const char* message) {
        if (missing)
            errors.push_back({property, message});
    };
    require(FICQNumber.empty(), "ICQ Number", "Your ICQ Number has not been set");
    require(FCookie.empty(), "Password", "Your ICQ Password has not been set");
    require(FTheMessage.empty(), "Message", "The message to send has not been set");
    require(FServer.empty(), "Server", "An ICQ Server has not been set");
    require(FToICQNumber.empty(), "To ICQ", "The ICQ recipient has not been set");
    return errors.size() == before;
}

bool TICQAction::SendOrExplain(icq::TICQClient& client, const std::string& recipient,
                               const std::function<void()>& send) {
    try {
        send();
        return true;
    } catch (const icq::EICQPacketError& e) {
        SendMessage("Unable to send to " + recipient + ": " + e.what(), stError);
        client.LogOff();
        return false;
    }
}

bool TICQAction::Execute() {
    std::string number, password, message;
    if (!TryExpandExpression("ICQ Number", FICQNumber, number, true))
        return false;
    std::int64_t uin = NumberOrZero(number);
    if (uin == 0) {
        SendMessage("Invalid ICQ Number : " + number, stError);
        return false;
    }
    std::string stored;
    if (!StepInline("Password: ", [&] { stored = DecryptString(FCookie, PasswordKey); }))
        return false;
    if (!TryExpandPassword("Password", stored, password))
        return false;
    if (password.empty()) {
        SendMessage("Password: a value is required", stError);
        return false;
    }
    if (FToICQNumber.empty()) {
        SendMessage("To ICQ Number is blank", stError);
        return false;
    }
    std::uint16_t port = 0;
    if (!TryPort("Port", FPort, port))
        return false;
    if (!TryExpandExpression("Message", FTheMessage, message, true))
        return false;
    if (icq::WireText(password).size() > icq::MaxPasswordLength)
        SendMessage("The password is longer than 16 characters: only its first 16 are sent", stWarning);

    // The client's events write the service's answers on the main thread; this thread waits for the
    // answers themselves, each wait ended by the action's stop, which also cuts the connection.
    auto client = std::make_unique<icq::TICQClient>(
        [](std::function<void()> event) { TMainThread::Instance().Queue(std::move(event)); });
    if (!StepInline("", [&] { client->ICQServer = ExpandExpression(FServer, false); }))
        return false;
    if (client->ICQServer.empty())
        client->ICQServer = icq::DefaultICQServer;
    client->ICQPort = port;
    client->Password = password;
    client->UIN = static_cast<std::uint32_t>(uin);
    client->ConnectionTimeout = static_cast<std::uint32_t>(std::max(FLoginTimeout, 0));
    if (FSendSMS) {
        client->OnSMSAck = [this](const std::string& source, const std::string& network,
                                  const std::string& id, bool deliverable) {
            SendMessage("SMS Ack - Source:" + Quoted(source) + ", Network:" + Quoted(network) +
                            ", MsgID:" + Quoted(id),
                        stInformation);
            SendMessage(std::string("Message Deliverable: ") + (deliverable ? "True" : "False"),
                        stInformation);
        };
        client->OnSMSRefused = [this] { SendMessage("SMS Refused", stError); };
        client->OnSMSReply = [this](const std::string& source, const std::string& sender,
                                    const std::string& time, const std::string&) {
            SendMessage("SMS Reply - Source:" + Quoted(source) + ", SMS Sender:" + Quoted(sender) +
                            ", Time:" + Quoted(time),
                        stInformation);
        };
    }

    std::stop_token stop = GetStopToken();
    // The client's own time-out ends a login that takes too long.
    auto login = client->Login();
    std::stop_callback cut(stop, [&client] { client->Disconnect(); });
    login.Wait(stop);

    TStringList lines = TextToLines(TrimBlanks(FToICQNumber));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string expanded;
        if (!TryExpandExpression("To ICQ " + std::to_string(i), lines[i], expanded, false))
            return false;
        lines[i] = expanded;
        if (!FSendSMS && NumberOrZero(expanded) < 1) {
            SendMessage("Invalid ICQ (" + std::to_string(i) + "): " + expanded, stError);
            return false;
        }
    }
    if (stop.stop_requested() || !client->LoggedIn()) {
        SendMessage("Failed to login", stError);
        return false;
    }
    if (lines.empty()) {
        SendMessage(FSendSMS ? "No phone numbers specified." : "No ICQ numbers specified.", stError);
        return false;
    }
    for (const auto& line : lines) {
        if (!FSendSMS) {
            if (!SendOrExplain(*client, line, [&] {
                    client->SendMessage(static_cast<std::uint32_t>(NumberOrZero(line)), message);
                }))
                return false;
            SendMessage("Message sent to " + line, stSuccess);
            continue;
        }
        if (RegEx::IsMatch(line, "[A-Za-z]", true)) {
            SendMessage("SMS number " + line + " does not appear to be a valid phone number.", stError);
            return false;
        }
        SendMessage("Sending SMS message to: " + line, stInformation);
        icq::TICQFuture<icq::TSMSAnswer> answer;
        if (!SendOrExplain(*client, line, [&] { answer = client->SendSMS(line, message); }))
            return false;
        icq::TSMSAnswer got = answer.Wait(stop, SMSAnswerTime).value_or(icq::saNone);
        if (got == icq::saNone) {
            SendMessage("Gave up waiting for ICQ to acknowledge or reject SMS", stError);
            return false;
        }
        if (got == icq::saUndeliverable || got == icq::saRefused) {
            client->LogOff();
            return false;
        }
    }
    Sleep(400);
    client->LogOff();
    return true;
}

} // namespace zr
