// "Send Email": one message over SMTP, to all recipients at once or one copy per recipient, with an
// HTML body and plain alternative, attachments, a chosen character set and priority, and optional
// POP-before-SMTP.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/Action.h"
#include "host/TimeoutMonitor.h"
#include "host/TransferMeter.h"
#include "mail/ZREmailAddress.h"
#include "mail/ZREmailOptions.h"
#include "mail/ZRMailCommon.h"
#include "net/MimeMessage.h"
#include "net/POP3Client.h"
#include "net/SMTPClient.h"

namespace zr {

enum TEmailAddressSource : int { asSpecify, asFromFile, asFromVariable };
enum TEmailMode : int { emNormal, emIndividual };

const quillate::TEnumInfo& EmailAddressSourceInfo();

class TEmailProtocolLog;

class TCustomEmailAction : public quillate::TZRAction, public quillate::IZRTimeoutTarget {
public:
    TCustomEmailAction();
    ~TCustomEmailAction() override;

    bool Execute() override;
    bool Validate(quillate::TValidationErrors& errors) override;
    std::string GetActionName() const override { return "Send Email"; }
    std::string GetFormattedDescription() const override;
    int GetHelpTopicID() const override { return 800; }
    std::string GetCopyRight() const override;
    bool GetTimedOut() const override { return FTimedOut; }
    void GetPropertyAlias(quillate::TStringList& list) const override;
    void InitialiseScriptParams(const std::string& scriptName, quillate::TScriptParams& params) override;
    // From another thread: closes the SMTP connection, so a pending command fails.
    void DoTimeout() override;

    void GetChildren(quillate::TSerializableList& children) const override { FAddresses.GetChildren(children); }
    void AddChildObject(std::shared_ptr<quillate::TSerializableObject> child) override {
        FAddresses.AddChildObject(child);
    }
    TZRMessageAddresses& Addresses() { return FAddresses; }
    // The entries of the four address lists, which lie below what the property tables reach
    // (ZREmailVariables.cpp). Labels are the list's property and the field: "Recipients.Address".
    void SearchForUnusedVariables(quillate::TStringList& names) const override;
    void DoInternalSearch(const TTextVisitor& visit) const override;
    int DoInternalReplace(const std::string& label, const TTextReplacer& replace) override;
    int RenameVariableReference(const std::string& oldName, const std::string& newName) override;

    // The server settings in force: the global e-mail options' when UseGlobalOptions is set, the
    // action's own otherwise (which keep their values either way).
    std::string GetHost() const;
    std::int32_t GetPort() const;
    std::string GetUserId() const;
    std::string GetPassword() const;
    bool GetAuthenticate() const;
    bool GetUseEhlo() const;
    bool GetUseSSL() const;
    TIdUseTLS GetUseTLS() const;

protected:
    friend struct TEmailActionProperties;

    // Published accessors with side effects.
    std::int32_t GetMode() const { return FMode; }
    void SetMode(std::int32_t value) { FMode = value < emNormal ? emNormal : value > emIndividual ? emIndividual : value; }
    bool GetOwnAuthenticate() const { return FAuthenticate; }
    void SetAuthenticate(bool value);
    bool GetOwnUseEhlo() const { return FUseEhlo; }
    void SetUseEhlo(bool value);
    std::uint32_t GetTimeoutLength() const { return FEnableTimeout ? FTimeoutLength : 1; }
    void SetTimeoutLength(std::uint32_t value) { FTimeoutLength = value; }
    std::string GetBody() const { return quillate::LinesToText(FBody); }
    void SetBody(const std::string& value) { FBody = quillate::TextToLines(value); }
    std::string GetPlainBody() const { return quillate::LinesToText(FPlainBody); }
    void SetPlainBody(const std::string& value) { FPlainBody = quillate::TextToLines(value); }
    bool GetUseRecipientFile() const { return FRecipientsSource == asFromFile; }
    void SetUseRecipientFile(bool value) { if (value) FRecipientsSource = asFromFile; }
    bool GetUseCopyToFile() const { return FCopyToSource == asFromFile; }
    void SetUseCopyToFile(bool value) { if (value) FCopyToSource = asFromFile; }
    bool GetUseBccFile() const { return FBccSource == asFromFile; }
    void SetUseBccFile(bool value) { if (value) FBccSource = asFromFile; }
    bool GetUseReplyToFile() const { return FReplyToSource == asFromFile; }
    void SetUseReplyToFile(bool value) { if (value) FReplyToSource = asFromFile; }

private:
    struct TListSetting;
    struct TRunState;

    net::TMimeAddress Expanded(const TZREmailAddress& address);

    bool PrepareMessage();
    bool ExpandAttachments(TRunState& run);
    bool AttachFiles(const TRunState& run);
    bool SetSubject();
    bool SetSenderAndFrom();
    TListSetting RecipientsSetting();
    TListSetting CopyToSetting();
    TListSetting BccSetting();
    TListSetting ReplyToSetting();
    bool LoadListSource(const TListSetting& setting);
    bool SetAddressList(const TListSetting& setting, std::vector<net::TMimeAddress>& target);
    bool BuildBody(const TRunState& run);
    bool ConfigureClients();
    bool PopBeforeSMTP();
    void ApplyPOP3Security();
    void CloseConnections();
    void ApplyConnectionSettings();
    void ConnectSMTP();
    // One warning that the login's password goes to peer unencrypted.
    void WarnClearPassword(const std::string& peer);
    void SendComposedMessage();
    bool SendNormal(const TRunState& run);
    bool ComposeIndividual(const TRunState& run);
    bool SendIndividual(const TRunState& run);
    bool RunOnSendScript(std::string& address, std::string& name, std::string& subject);

    // Progress of the message data, from the SMTP client's work events.
    void WorkBegin(std::int64_t expected);
    void Work(std::int64_t bytes);
    void WorkEnd();

    TZRMessageAddresses FAddresses;
    std::int32_t FMode = emNormal;
    std::string FHost;
    std::int32_t FPort = 25;
    std::string FUserId;
    std::string FEncryptedPassword; // the stored form
    std::string FSubject;
    TEmailAddressSource FRecipientsSource = asSpecify, FCopyToSource = asSpecify, FBccSource = asSpecify,
                        FReplyToSource = asSpecify;
    std::string FPathOfRecipientFile, FPathOfCopyToFile, FPathOfBccFile, FPathOfReplyToFile;
    std::string FRecipientVariable, FCopyToVariable, FBccVariable, FReplyToVariable;
    quillate::TStringList FAttachments, FBody, FPlainBody;
    bool FHTMLMessage = false;
    bool FAuthenticate = false;
    bool FUseEhlo = false;
    bool FUseGlobalOptions = false;
    bool FIgnoreMissingAttachments = false;
    bool FPopBeforeSMTP = false;
    std::string FPOPHost;
    std::int32_t FPOPPort = 110;
    std::string FEncoding;
    std::int32_t FPriority = 2;
    bool FEnableTimeout = false;
    std::uint32_t FTimeoutLength = 1;
    bool FIgnoreIndivualFailures = false;
    bool FUseSSL = false;
    TIdUseTLS FUseTLS = utNoTLSSupport;
    bool FLogSSLNegotiation = false;

    // The clients and the message live as long as the action; each run starts them afresh.
    net::TSMTPClient FSMTP;
    net::TPOP3Client FPOP3;
    net::TMimeMessage FMessage;
    std::vector<net::TMimeAddress> FBlindCopies;
    std::shared_ptr<TEmailProtocolLog> FLog;
    std::atomic<bool> FTimedOut{false};
    std::mutex FMonitorLock;
    std::unique_ptr<quillate::TTimeoutMonitorThread> FMonitor;

    quillate::TTransferMeter FProgress;
};

class TEmailAction : public TCustomEmailAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

// The e-mail script constants and the address list's script methods.
void RegisterEmailScriptNames();

} // namespace zr
