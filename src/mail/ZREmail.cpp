#include "mail/ZREmail.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include "host/FileInfo.h"
#include "host/CryptoUtils.h"
#include "host/Options.h"
#include "host/Registration.h"
#include "host/ScriptValue.h"
#include "host/Scripting.h"
#include "mail/ZRMailCommon.h"
#include "net/TCPConnection.h"
#include "net/LogEventIntercept.h"

namespace zr {

using namespace quillate;

namespace {

constexpr const char* PasswordKey = "qzr4sm7pm41l";

// The e-mail log shows an event's text twice, or with the password mask, and only its last line.
std::string MaskedEventText(std::string_view text) {
    return MaskedEventLines(text, text).back();
}

} // namespace

const TEnumInfo& EmailAddressSourceInfo() {
    static const TEnumInfo info{"TEmailAddressSource", {"asSpecify", "asFromFile", "asFromVariable"}};
    return info;
}

// The protocol log of one mail connection: lines of both directions and status texts, the TLS ones
// only when asked for.
class TEmailProtocolLog : public net::TLogEventIntercept {
public:
    explicit TEmailProtocolLog(TCustomEmailAction& action) : FAction(action) {
        SetOnLog([this](net::TLogEventType type, std::string_view line) { Deliver(type, line); });
    }

    std::string Peer;
    bool LogTLS = false;

    void Status(net::TConnectionStatus status, std::string_view text) override {
        if (status != net::TConnectionStatus::csStatusText || LogTLS)
            net::TLogEventIntercept::Status(status, text);
    }

private:
    void Deliver(net::TLogEventType type, std::string_view line) {
        switch (type) {
        case net::TLogEventType::Received:
            FAction.SendMessage(fmt::format("Received: {} Data: {}", MaskedEventText(Peer), line), stInformation);
            break;
        case net::TLogEventType::Sent:
            FAction.SendMessage(fmt::format("Sent: {} Data: {}", MaskedEventText(Peer), line), stInformation);
            break;
        case net::TLogEventType::Status:
            FAction.SendMessage("Status: " + MaskedEventText(line), stInformation);
            break;
        }
    }

    TCustomEmailAction& FAction;
};

// One address list with the texts its steps log.
struct TCustomEmailAction::TListSetting {
    const char* ListName;
    const char* VariableLabel;
    const char* NotSpecified;
    const char* Failure;
    TZRAddressList& List;
    TEmailAddressSource Source;
    const std::string& Path;
    const std::string& Variable;
    bool OnlyEnabled;
};

struct TCustomEmailAction::TRunState {
    std::vector<std::string> Attachments; // expanded paths, missing ones included when ignored
    bool HasAttachments = false;          // at least one of them exists
};

struct TEmailActionProperties {
    using T = TCustomEmailAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .Int("Mode", &T::GetMode, &T::SetMode)
            .Help("Normal: one message to all recipients; Individual: one message per recipient")
            .String("Host", &T::FHost)
            .Help("SMTP server")
            .Int("Port", &T::FPort)
            .Port()
            .String("UserId", &T::FUserId)
            .String("Subject", &T::FSubject)
            .Bool("UseRecipientFile", &T::GetUseRecipientFile, &T::SetUseRecipientFile)
            .NotStored()
            .Hidden()
            .Bool("UseCopyToFile", &T::GetUseCopyToFile, &T::SetUseCopyToFile)
            .NotStored()
            .Hidden()
            .Bool("UseBccFile", &T::GetUseBccFile, &T::SetUseBccFile)
            .NotStored()
            .Hidden()
            .Bool("UseReplyToFile", &T::GetUseReplyToFile, &T::SetUseReplyToFile)
            .NotStored()
            .Hidden()
            .Enum("RecipientsSource", EmailAddressSourceInfo(), &T::FRecipientsSource)
            .Enum("CopyToSource", EmailAddressSourceInfo(), &T::FCopyToSource)
            .Enum("BccSource", EmailAddressSourceInfo(), &T::FBccSource)
            .Enum("ReplyToSource", EmailAddressSourceInfo(), &T::FReplyToSource)
            .String("PathOfRecipientFile", &T::FPathOfRecipientFile)
            .String("PathOfCopyToFile", &T::FPathOfCopyToFile)
            .String("PathOfBccFile", &T::FPathOfBccFile)
            .String("PathOfReplyToFile", &T::FPathOfReplyToFile)
            .Variable("RecipientVariable", &T::FRecipientVariable)
            .Variable("CopyToVariable", &T::FCopyToVariable)
            .Variable("BccVariable", &T::FBccVariable)
            .Variable("ReplyToVariable", &T::FReplyToVariable)
            .StoredPassword("EncryptedPassword", &T::FEncryptedPassword, PasswordKey)
            .Help("The SMTP password in its stored form (quillate encrypt --for "
                  "action.smtp.send.EncryptedPassword)")
            .ClearPassword("Password", &T::FEncryptedPassword, PasswordKey)
            .StringList("AttachmentsObject", &T::FAttachments)
            .Help("One file path or expression a line")
            .StringList("BodyObject", &T::FBody)
            .StringList("PlainBodyObject", &T::FPlainBody)
            .String("Body", &T::GetBody, &T::SetBody)
            .NotStored()
            .Hidden()
            .String("PlainBody", &T::GetPlainBody, &T::SetPlainBody)
            .NotStored()
            .Hidden()
            .Bool("HTMLMessage", &T::FHTMLMessage)
            // The address slots are stored as children; these give scripts the live objects.
            .Object<TZREmailAddress>("Sender", [](T& a) { return a.FAddresses.Sender; })
            .Object<TZREmailAddress>("From", [](T& a) { return a.FAddresses.From; })
            .Object<TZREmailAddress>("ReceiptRecipient", [](T& a) { return a.FAddresses.ReceiptRecipient; })
            .Object<TZRAddressList>("ReplyTo", [](T& a) { return a.FAddresses.ReplyTo; })
            .Object<TZRAddressList>("Recipients", [](T& a) { return a.FAddresses.Recipients; })
            .Object<TZRAddressList>("CopyTo", [](T& a) { return a.FAddresses.CopyTo; })
            .Object<TZRAddressList>("BlindCopyTo", [](T& a) { return a.FAddresses.BlindCopyTo; })
            .Bool("Authenticate", &T::GetOwnAuthenticate, &T::SetAuthenticate)
            .Bool("UseEhlo", &T::GetOwnUseEhlo, &T::SetUseEhlo)
            .Bool("UseGlobalOptions", &T::FUseGlobalOptions)
            .Help("Take the server settings from the global e-mail options")
            .Bool("IgnoreMissingAttachments", &T::FIgnoreMissingAttachments)
            .Bool("PopBeforeSMTP", &T::FPopBeforeSMTP)
            .String("POPHost", &T::FPOPHost)
            .Int("POPPort", &T::FPOPPort)
            .Port()
            .String("Encoding", &T::FEncoding)
            .Help("Character set of the message, or \"default\"")
            .Int("Priority", &T::FPriority)
            .Help("0 Highest, 1 High, 2 Normal, 3 Low, 4 Lowest")
            .Bool("EnableTimeout", &T::FEnableTimeout)
            .UInt("TimeoutLength", &T::GetTimeoutLength, &T::SetTimeoutLength)
            .Help("Time-out in minutes")
            .Bool("IgnoreIndivualFailures", &T::FIgnoreIndivualFailures)
            .Bool("UseSSL", &T::FUseSSL)
            .Enum("UseTLS", UseTLSInfo(), &T::FUseTLS)
            .Bool("LogSSLNegotiation", &T::FLogSSLNegotiation);
    }
};

TCustomEmailAction::TCustomEmailAction() : FLog(std::make_shared<TEmailProtocolLog>(*this)) {
    try {
        FEncoding = EmailOptions()->GetDefaultEncoding();
    } catch (const std::exception&) {
        // Without the package's options (a tool that only reads projects) a new action has none.
    }
    FSMTP.OnWorkBegin = [this](std::int64_t expected) { WorkBegin(expected); };
    FSMTP.OnWork = [this](std::int64_t bytes) { Work(bytes); };
    FSMTP.OnWorkEnd = [this] { WorkEnd(); };
    FSMTP.Connection().AddIntercept(FLog);
    AddScript("OnSend");
    SetCanTerminate(true);
}

TCustomEmailAction::~TCustomEmailAction() {
    std::lock_guard lock(FMonitorLock);
    if (FMonitor)
        FMonitor->Stop();
}

const TMetaClass& TEmailAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TEmailAction>("TEmailAction", "action.smtp.send",
                                                                &TZRAction::ClassInfo(), &TEmailActionProperties::Define);
    return meta;
}

std::string TCustomEmailAction::GetFormattedDescription() const {
    return fmt::format("{} [ {} ]", TZRAction::GetFormattedDescription(), FSubject);
}

std::string TCustomEmailAction::GetCopyRight() const {
    return TZRAction::GetCopyRight() + "\nSMTP and POP3 on the Quillate network library, MIME on GMime";
}

void TCustomEmailAction::GetPropertyAlias(TStringList& list) const {
    for (const char* line :
         {"[Address]", "From", "Sender", "BlindCopyTo", "CopyTo", "Recipients", "ReceiptRecipient", "ReplyTo",
          "[Server]", "UserId=UserID", "Password=Password", "Host=Host", "Port=Port", "Authenticate", "POPHost",
          "POPPort", "POPBeforeSMTP", "[Message]", "BodyObject=Body", "PlainBodyObject=PlainBody",
          "AttachmentsObject=Attachments", "Subject=Subject", "HTMLMessage=HTML Message", "[Behaviour]",
          "Mode=Mode", "IgnoreMissingAttachments"})
        list.push_back(line);
}

void TCustomEmailAction::SetAuthenticate(bool value) {
    FAuthenticate = value;
    if (value)
        FUseEhlo = true;
}

void TCustomEmailAction::SetUseEhlo(bool value) {
    FUseEhlo = value;
    if (!value)
        FAuthenticate = false;
}

std::string TCustomEmailAction::GetHost() const { return FUseGlobalOptions ? EmailOptions()->GetSMTPHost() : FHost; }
std::int32_t TCustomEmailAction::GetPort() const { return FUseGlobalOptions ? EmailOptions()->GetSMTPPort() : FPort; }
std::string TCustomEmailAction::GetUserId() const {
    return FUseGlobalOptions ? EmailOptions()->GetSMTPUser() : FUserId;
}
std::string TCustomEmailAction::GetPassword() const {
    return FUseGlobalOptions ? EmailOptions()->GetSMTPPass() : DecryptString(FEncryptedPassword, PasswordKey);
}
bool TCustomEmailAction::GetAuthenticate() const {
    return FUseGlobalOptions ? EmailOptions()->GetSMTPAuth() : FAuthenticate;
}
bool TCustomEmailAction::GetUseEhlo() const { return FUseGlobalOptions ? EmailOptions()->GetSMTPEHLO() : FUseEhlo; }
bool TCustomEmailAction::GetUseSSL() const { return FUseGlobalOptions ? EmailOptions()->GetSMTPSSL() : FUseSSL; }
TIdUseTLS TCustomEmailAction::GetUseTLS() const {
    return FUseGlobalOptions ? EmailOptions()->GetSMTPUseTLS() : FUseTLS;
}

bool TCustomEmailAction::Validate(TValidationErrors& errors) {
    std::size_t before = errors.size();
    TZRAction::Validate(errors);
    if (GetHost().empty())
        errors.push_back({"Host", "Host has not been set"});
    if (FRecipientsSource == asSpecify && FAddresses.Recipients->GetCount() == 0)
        errors.push_back({"Recipients", "No recipients have been specified"});
    if (FRecipientsSource == asFromFile && FPathOfRecipientFile.empty())
        errors.push_back({"Recipients", "No file to load recipients from has been defined"});
    if (FRecipientsSource == asFromVariable && FRecipientVariable.empty())
        errors.push_back({"Recipients", "No variable to load recipients from has been defined"});
    if (FSubject.empty())
        errors.push_back({"Subject", "Message subject has not been set"});
    return errors.size() == before;
}

void TCustomEmailAction::InitialiseScriptParams(const std::string& scriptName, TScriptParams& params) {
    TZRAction::InitialiseScriptParams(scriptName, params);
    if (scriptName != "OnSend")
        return;
    params.Declare("Action", TScriptValue::Object(*this));
    params.Declare("Address", "");
    params.Declare("Name", "");
    params.Declare("Subject", "");
    params.Declare("Skip", false);
}

void TCustomEmailAction::DoTimeout() {
    FTimedOut = true;
    TerminateAction();
}

bool TCustomEmailAction::Execute() {
    FTimedOut = false;
    FSMTP.SetStopToken(GetStopToken());
    FPOP3.SetStopToken(GetStopToken());
    if (GetStopSignalled())
        return false;
    TRunState run;
    if (!PrepareMessage() || !ExpandAttachments(run))
        return false;
    CloseConnections();
    if (!ConfigureClients() || !SetSubject() || !SetSenderAndFrom() || !SetAddressList(ReplyToSetting(), FMessage.ReplyTo))
        return false;
    if (FPopBeforeSMTP && !PopBeforeSMTP())
        return false;
    return FMode == emNormal ? SendNormal(run) : SendIndividual(run);
}

bool TCustomEmailAction::PrepareMessage() {
    return Step("Unable to clear message object", [&] {
        FMessage.Clear();
        FBlindCopies.clear();
        FMessage.Priority = static_cast<net::TMimePriority>(std::clamp(FPriority, 0, 4));
        FMessage.MessageId = NewGuidText() + "@Quillate";
        FMessage.UserAgent = "Quillate";
        FProgress.SetExpected(0);
    });
}

bool TCustomEmailAction::ExpandAttachments(TRunState& run) {
    // A variable may hold several lines, each an attachment of its own.
    std::string joined;
    for (const auto& line : FAttachments) {
        std::string expanded;
        if (!TryExpandExpression("attachment", line, expanded, false))
            return false;
        joined += expanded + "\n";
    }
    for (const auto& line : TextToLines(joined)) {
        std::string path;
        if (!TryExpandExpression("attachment", line, path, false))
            return false;
        if (TrimBlanks(path).empty())
            continue;
        // Only a missing file may be skipped: a device or a FIFO named as one is a mistake to report.
        const std::string problem = TFileInfo::AttachmentProblem(path);
        const bool exists = problem.empty();
        if (!exists && (!FIgnoreMissingAttachments || TFileInfo::PathExists(path))) {
            SendMessage(problem, stError);
            return false;
        }
        run.HasAttachments = run.HasAttachments || exists;
        run.Attachments.push_back(path);
    }
    return true;
}

bool TCustomEmailAction::AttachFiles(const TRunState& run) {
    return Step("Unable to Attach Files", [&] {
        for (const auto& path : run.Attachments) {
            if (FIgnoreMissingAttachments && !TFileInfo::IsExistingFile(path))
                continue;
            FProgress.AddExpected(EncodedAttachmentSize(path));
            net::TMimeAttachment attachment = AttachmentFor(path);
            std::string extension = LowerCase(std::filesystem::path(path).extension().string());
            if (extension == ".txt") {
                attachment.Disposition = "inline";
            } else if (extension == ".html" || extension == ".htm") {
                attachment.Disposition = "attachment";
                attachment.ContentType = "text/html";
            }
            FMessage.Attachments.push_back(std::move(attachment));
        }
        // Normal mode composes the text before attaching; Individual mode attaches first.
        FMessage.TextFirst = FMode == emNormal;
    });
}

bool TCustomEmailAction::SetSubject() {
    return Step("Unable to Set Subject", [&] { FMessage.Subject = ExpandExpression(FSubject, false); });
}

net::TMimeAddress TCustomEmailAction::Expanded(const TZREmailAddress& address) {
    return {ExpandExpression(address.GetName(), false), ExpandExpression(address.GetAddress(), false)};
}

bool TCustomEmailAction::SetSenderAndFrom() {
    return Step("Unable to Set Sender Address or name", [&] { FMessage.Sender = Expanded(*FAddresses.Sender); }) &&
           Step("Unable to Set From Address or name", [&] { FMessage.From = Expanded(*FAddresses.From); }) &&
           Step("Unable to Set ReceiptRecipient Address or name",
                [&] { FMessage.DispositionNotificationTo = Expanded(*FAddresses.ReceiptRecipient); });
}

bool TCustomEmailAction::LoadListSource(const TListSetting& setting) {
    if (setting.Source == asFromFile) {
        std::string path;
        if (!TryExpandExpression(std::string(setting.ListName) + " File", setting.Path, path, false))
            return false;
        if (!TFileInfo::IsExistingFile(path)) {
            SendMessage(fmt::format("File not found while loading {} list: {}", setting.ListName, path), stError);
            return false;
        }
        return Step(setting.Failure, [&] {
            setting.List.Clear();
            setting.List.AddFromFile(path);
        });
    }
    if (setting.Source == asFromVariable) {
        if (setting.Variable.empty()) {
            SendMessage(setting.NotSpecified, stError);
            return false;
        }
        std::string text;
        if (!TryExpandExpression(setting.VariableLabel, GetVariableAsString(setting.Variable), text, false))
            return false;
        return Step(setting.Failure, [&] {
            setting.List.Clear();
            setting.List.AddDelimitedList(text, ",");
        });
    }
    return true;
}

bool TCustomEmailAction::SetAddressList(const TListSetting& setting, std::vector<net::TMimeAddress>& target) {
    return LoadListSource(setting) && Step(setting.Failure, [&] {
               target.clear();
               for (const auto& entry : setting.List.Entries())
                   if (!setting.OnlyEnabled || entry->GetEnabled())
                       target.push_back(Expanded(*entry));
           });
}

bool TCustomEmailAction::BuildBody(const TRunState& run) {
    std::string charset;
    if (!FEncoding.empty() && LowerCase(FEncoding) != "default") {
        if (!TryExpandExpression("Encoding", FEncoding, charset, false))
            return false;
        charset = LowerCase(charset);
    }
    return Step("Unable to Set Body", [&] {
        if (!FHTMLMessage) {
            std::string text(TrimBlanks(ExpandExpression(LinesToText(FBody), false)));
            FMessage.ContentType = run.HasAttachments ? "multipart/mixed" : "text/plain";
            FProgress.AddExpected(static_cast<std::int64_t>(text.size()));
            FMessage.Body = std::move(text);
        } else {
            std::string html(TrimBlanks(ExpandExpression(LinesToText(FBody), false)));
            std::string plain(TrimBlanks(ExpandExpression(LinesToText(FPlainBody), false)));
            int container = -1;
            if (!html.empty() && !plain.empty()) {
                if (run.HasAttachments) {
                    FMessage.ContentType = "multipart/mixed";
                    FMessage.TextParts.push_back({"", "multipart/alternative", "", "", -1});
                    container = static_cast<int>(FMessage.TextParts.size()) - 1;
                } else {
                    FMessage.ContentType = "multipart/alternative";
                }
            }
            if (!plain.empty()) {
                FProgress.AddExpected(static_cast<std::int64_t>(plain.size()));
                FMessage.TextParts.push_back({std::move(plain), "text/plain", "", "inline", container});
            }
            if (LowerCase(html.substr(0, 6)) != "<html>")
                html = "<html>" + html + "</html>";
            FProgress.AddExpected(static_cast<std::int64_t>(html.size()));
            FMessage.TextParts.push_back({std::move(html), "text/html", charset, "inline", container});
        }
        FMessage.Charset = charset;
    });
}

void TCustomEmailAction::CloseConnections() {
    try {
        if (FSMTP.Connected())
            FSMTP.Disconnect();
        if (FPOP3.Connected())
            FPOP3.Disconnect();
    } catch (const std::exception& e) {
        LogFailure("Error Disconnecting - ignoring.", e);
    }
}

bool TCustomEmailAction::ConfigureClients() {
    bool ok = Step("Error setting Auth type", [&] {
        FSMTP.AuthType = GetAuthenticate() ? net::TSMTPAuthType::satDefault : net::TSMTPAuthType::satNone;
        FSMTP.UseEhlo = GetAuthenticate() || GetUseEhlo();
    }) && Step("Unable to Set Host", [&] {
        FSMTP.Port = net::TCPPort(GetPort());
        FSMTP.Host = ExpandExpression(GetHost(), true);
        if (FPopBeforeSMTP) {
            FPOP3.Host = FPOPHost.empty() ? FSMTP.Host : ExpandExpression(FPOPHost, true);
            FPOP3.Port = net::TCPPort(FPOPPort);
        }
    }) && Step("Unable to Set UserId", [&] { FSMTP.Username = FPOP3.Username = ExpandExpression(GetUserId(), false); });
    if (!ok)
        return false;
    std::string stored, password;
    if (!Step("Unable to Set Password", [&] { stored = GetPassword(); }))
        return false;
    if (!TryExpandPassword("Password", stored, password)) {
        SendMessage("Unable to Set Password", stError);
        return false;
    }
    FSMTP.Password = FPOP3.Password = password;
    return true;
}

bool TCustomEmailAction::PopBeforeSMTP() {
    return Step("Unable to connect to POP Server", [&] {
        FPOP3.ConnectTimeout = std::chrono::milliseconds(10000);
        ApplyPOP3Security();
        FPOP3.TLSOptions.VerifyPeer = VerifyCertificates();
        FLog->Peer = fmt::format("{}:{}", FPOP3.Host, FPOP3.Port);
        FPOP3.BeforeLogin = [this, peer = FLog->Peer] {
            if (!FPOP3.TLSActive())
                WarnClearPassword(peer);
            else if (!FPOP3.TLSOptions.VerifyPeer)
                SendMessage(UnverifiedCertificateWarning(peer), stWarning);
        };
        std::shared_ptr<net::IConnectionIntercept> log = FLog;
        FPOP3.Connection().AddIntercept(log);
        try {
            FPOP3.Connect();
        } catch (...) {
            FPOP3.Connection().RemoveIntercept(log);
            throw;
        }
        FPOP3.Disconnect();
        FPOP3.Connection().RemoveIntercept(log);
    });
}

// The POP3 login carries the same password as SMTP, so it is protected whenever the SMTP connection
// is. Implicit TLS only works on the POP3S port; on any other POP3 port STLS is required instead.
void TCustomEmailAction::ApplyPOP3Security() {
    constexpr std::uint16_t POP3SPort = 995;
    const auto smtpMode = static_cast<net::TUseTLS>(std::clamp<int>(GetUseTLS(), utNoTLSSupport, utUseExplicitTLS));
    const bool implicit = GetUseSSL() || smtpMode == net::TUseTLS::utUseImplicitTLS;
    FPOP3.UseSSL = false;
    if (implicit)
        FPOP3.UseTLS = FPOP3.Port == POP3SPort ? net::TUseTLS::utUseImplicitTLS : net::TUseTLS::utUseRequireTLS;
    else
        FPOP3.UseTLS = smtpMode;
}

void TCustomEmailAction::ApplyConnectionSettings() {
    std::chrono::milliseconds timeout{FEnableTimeout ? std::int64_t{FTimeoutLength} * 60000 : 0};
    FSMTP.ConnectTimeout = timeout;
    FSMTP.ReadTimeout = timeout;
    FSMTP.UseSSL = GetUseSSL();
    FSMTP.UseTLS = static_cast<net::TUseTLS>(std::clamp<int>(GetUseTLS(), utNoTLSSupport, utUseExplicitTLS));
    FSMTP.TLSOptions.VerifyPeer = VerifyCertificates();
    FLog->Peer = fmt::format("{}:{}", FSMTP.Host, FSMTP.Port);
    FLog->LogTLS = FLogSSLNegotiation;
}

void TCustomEmailAction::ConnectSMTP() {
    FSMTP.Connect();
    if (FSMTP.TLSActive() && !FSMTP.TLSOptions.VerifyPeer)
        SendMessage(UnverifiedCertificateWarning(FLog->Peer), stWarning);
    if (FSMTP.AuthType == net::TSMTPAuthType::satNone || !FSMTP.Connected())
        return;
    if (!FSMTP.TLSActive())
        WarnClearPassword(FLog->Peer);
    FSMTP.Authenticate();
}

void TCustomEmailAction::WarnClearPassword(const std::string& peer) {
    SendMessage(fmt::format("The password of {} travels in clear text: the connection to {} is not encrypted",
                            FSMTP.Username, peer),
                stWarning);
}

TCustomEmailAction::TListSetting TCustomEmailAction::RecipientsSetting() {
    return {"Recipients",          "Recipients Variable", "Recipients Variable not specified",
            "Unable to Set Recipients Address or Name", *FAddresses.Recipients, FRecipientsSource,
            FPathOfRecipientFile,  FRecipientVariable,    true};
}

TCustomEmailAction::TListSetting TCustomEmailAction::CopyToSetting() {
    return {"Copy To",         "Copy To Variable", "Copy To variable not specified.",
            "Unable to Set CopyTo Address or Name", *FAddresses.CopyTo, FCopyToSource,
            FPathOfCopyToFile, FCopyToVariable,    true};
}

TCustomEmailAction::TListSetting TCustomEmailAction::BccSetting() {
    return {"Blind Copy To", "BCC Variable", "BCC Variable not specified",
            "Unable to Set BlindCopyTo Address or Name", *FAddresses.BlindCopyTo, FBccSource,
            FPathOfBccFile,  FBccVariable,   true};
}

// Reply-to addresses are all used, whatever their Enabled says.
TCustomEmailAction::TListSetting TCustomEmailAction::ReplyToSetting() {
    return {"Reply To",         "Reply To Variable", "Reply To Variable not specified",
            "Unable to Set ReplyTo Address or Name", *FAddresses.ReplyTo, FReplyToSource,
            FPathOfReplyToFile, FReplyToVariable,    false};
}

void TCustomEmailAction::SendComposedMessage() {
    // Every message goes to its recipients, copies and blind copies; blind copies only here.
    std::vector<std::string> recipients;
    for (const auto* list : {&FMessage.To, &FMessage.Cc, &FBlindCopies})
        for (const auto& address : *list)
            if (!address.Address.empty())
                recipients.push_back(address.Address);
    const std::string& from = !FMessage.From.Address.empty() ? FMessage.From.Address : FMessage.Sender.Address;
    // A header or character set the message cannot carry fails before MAIL FROM, not after DATA.
    FMessage.Check();

    if (FEnableTimeout) {
        std::lock_guard lock(FMonitorLock);
        FMonitor = std::make_unique<TTimeoutMonitorThread>(*this, std::int64_t{FTimeoutLength} * 60000);
    }
    struct TStopMonitor {
        TCustomEmailAction& Action;
        ~TStopMonitor() {
            std::lock_guard lock(Action.FMonitorLock);
            if (Action.FMonitor)
                Action.FMonitor->Stop();
            Action.FMonitor.reset();
        }
    } stopMonitor{*this};
    FSMTP.Send(from, recipients, [this](const net::TMimeMessage::TSink& write) { FMessage.Write(write); });
}

bool TCustomEmailAction::SendNormal(const TRunState& run) {
    if (!SetAddressList(RecipientsSetting(), FMessage.To) || !SetAddressList(CopyToSetting(), FMessage.Cc) ||
        !SetAddressList(BccSetting(), FBlindCopies) || !BuildBody(run) || !AttachFiles(run))
        return false;
    const bool connected = Step("Unable to Send Message (Connect)", [&] {
        ApplyConnectionSettings();
        ConnectSMTP();
        return FSMTP.Connected();
    });
    bool result = false;
    if (connected)
        result = Step("Unable to Send Message (Send)", [&] {
            SendComposedMessage();
            SendMessage("Message Sent", stSuccess);
        });
    FSMTP.Disconnect();
    FMessage.Clear();
    return result;
}

bool TCustomEmailAction::RunOnSendScript(std::string& address, std::string& name, std::string& subject) {
    TScriptParams params;
    InitialiseScriptParams("OnSend", params);
    params.Set("Address", address);
    params.Set("Name", name);
    params.Set("Subject", subject);
    params.Set("Skip", false);
    ExecuteScript("OnSend", params);
    address = params.Get("Address").AsString();
    name = params.Get("Name").AsString();
    subject = params.Get("Subject").AsString();
    return params.Get("Skip").AsBoolean();
}

bool TCustomEmailAction::ComposeIndividual(const TRunState& run) {
    return AttachFiles(run) && SetAddressList(RecipientsSetting(), FMessage.To) && SetSubject() &&
           SetSenderAndFrom() && SetAddressList(ReplyToSetting(), FMessage.ReplyTo) &&
           SetAddressList(CopyToSetting(), FMessage.Cc) && SetAddressList(BccSetting(), FBlindCopies) &&
           BuildBody(run);
}

bool TCustomEmailAction::SendIndividual(const TRunState& run) {
    SendProgress("Connecting...", 0);
    const std::string* onSend = GetScriptByName("OnSend");
    const bool hasScript = onSend != nullptr && !TrimBlanks(*onSend).empty();
    bool result = false;
    std::vector<std::string> failed;
    std::size_t attempted = 0;
    try {
        ApplyConnectionSettings();
        ConnectSMTP();
        if (!ComposeIndividual(run)) {
            FSMTP.Disconnect();
            FMessage.Clear();
            return false;
        }
        const std::string subject = FMessage.Subject;
        // The list is walked by position as the OnSend script leaves it: entries it appends are sent
        // in this run too (a list holds at most MaxEntries, so the walk ends).
        const TAddressListPtr recipients = FAddresses.Recipients;
        const auto& entries = recipients->Entries();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            FMessage.To.clear();
            if (!entries[i]->GetEnabled())
                continue;
            net::TMimeAddress to;
            if (!Step("Error expanding Name/Address", [&] { to = Expanded(*entries[i]); })) {
                result = false;
                break;
            }
            // The script may change the address, the name and this message's subject, or skip it.
            std::string messageSubject = subject;
            bool skip = false;
            if (hasScript && !Step("Error executing OnSend script",
                                   [&] { skip = RunOnSendScript(to.Address, to.Name, messageSubject); })) {
                result = false;
                break;
            }
            if (skip)
                continue;
            FMessage.To.push_back(to);
            FMessage.Subject = messageSubject;
            ++attempted;
            try {
                if (to.Address.empty())
                    throw std::invalid_argument(fmt::format("Error adding recipient: entry {} has no address", i + 1));
                if (!FSMTP.Connected())
                    ConnectSMTP(); // the server closed the connection after the last message
                SendComposedMessage();
                int percent =
                    static_cast<int>(std::lround(static_cast<double>(i + 1) * 100.0 / static_cast<double>(entries.size())));
                SendProgress("Message Sent To : " + to.Name + " <" + to.Address + ">", percent);
                SendMessage("Message Sent To :" + to.Name + " <" + to.Address + ">", stSuccess);
            } catch (const std::exception& e) {
                SendMessage("Unable to Send Message to " + to.Address, stError);
                failed.push_back(to.Address.empty() ? fmt::format("(entry {})", i + 1) : to.Address);
                if (!FIgnoreIndivualFailures || GetStopSignalled()) {
                    SendMessage(e.what(), stError);
                    result = false;
                    break;
                }
                SendMessage(e.what(), stWarning);
            }
            result = true;
        }
    } catch (const std::exception& e) {
        LogFailure("Unable to Send Message", e);
        result = false;
    }
    if (attempted > 0)
        SendMessage(fmt::format("Sent {} of {}{}{}", attempted - failed.size(), attempted,
                                failed.empty() ? "" : "; not sent to: ", fmt::join(failed, ", ")),
                    failed.empty() ? stInformation : stWarning);
    if (FSMTP.Connected()) {
        SendProgress("Disconnecting", 100);
        FSMTP.Disconnect();
    }
    SendProgress("Done", 100);
    FMessage.Clear();
    return result;
}

void TCustomEmailAction::WorkBegin(std::int64_t expected) {
    FProgress.Begin(expected);
    FProgress.LineDueNow();
    SendProgress(FProgress.SpeedText(TTransferDirection::Upload), 0);
}

void TCustomEmailAction::Work(std::int64_t bytes) {
    if (!FProgress.Due(std::chrono::milliseconds(500)))
        return;
    FProgress.Update(bytes);
    SendProgress(fmt::format("{} : {} KBytes Transferred", FProgress.SpeedText(TTransferDirection::Upload),
                             bytes / 1024),
                 FProgress.Percent());
}

void TCustomEmailAction::WorkEnd() {
    SendProgress(FProgress.SpeedText(TTransferDirection::Upload), 0);
    FProgress.End();
}

void RegisterEmailScriptNames() {
    RegisterAddressListScriptMethods();
    auto& scripting = CoreScriptingService();
    scripting.RegisterScriptConstant("emNormal", std::int64_t{emNormal});
    scripting.RegisterScriptConstant("emIndividual", std::int64_t{emIndividual});
    scripting.RegisterScriptConstant("utNoTLSSupport", std::int64_t{utNoTLSSupport});
    scripting.RegisterScriptConstant("utUseImplicitTLS", std::int64_t{utUseImplicitTLS});
    scripting.RegisterScriptConstant("utUseRequireTLS", std::int64_t{utUseRequireTLS});
    scripting.RegisterScriptConstant("utUseExplicitTLS", std::int64_t{utUseExplicitTLS});
}

} // namespace zr
