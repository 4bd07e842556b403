// "NNTP News Post": one article to one or more newsgroups, with an optional login, a plain or HTML
// body, a character set and attachments.
#pragma once

#include "host/Action.h"
#include "host/TransferMeter.h"
#include "mail/ZRMailCommon.h"
#include "net/LogEventIntercept.h"
#include "net/MimeMessage.h"
#include "net/NNTPClient.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace zr {

class TZRNNTPAction : public quillate::TZRAction {
public:
    TZRNNTPAction();

    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    bool Execute() override;
    bool Validate(quillate::TValidationErrors& errors) override;
    std::string GetActionName() const override { return "NNTP News Post"; }
    std::string GetFormattedDescription() const override;
    int GetHelpTopicID() const override { return 2780; }
    std::string GetQuickHelpFilename() const override { return "Plugins\\PostToNewsgroup.html"; }
    void GetPropertyAlias(quillate::TStringList& list) const override;

private:
    friend struct TNNTPActionProperties;

    // What one run posts, every setting expanded.
    struct TArticle {
        std::string Charset, Email, ReplyTo, Sender, Server, Groups, Body, Subject, User, Password;
    };

    // What one run composes and counts.
    struct TPostRun {
        net::TMimeMessage Message;
        quillate::TTransferMeter Progress;
        std::int64_t LastReportedBytes = 0;
        double LastReportedSpeed = 0;
    };

    bool Expand(TArticle& article);
    void Compose(TPostRun& run, const TArticle& article);
    void AttachFiles(TPostRun& run);
    void Post(TPostRun& run, const TArticle& article);
    void LogEvent(net::TLogEventType type, std::string_view text);

    std::uint32_t GetPort() const { return FNNTP.Port; }
    void SetPort(std::uint32_t value);

    void WorkBegin(TPostRun& run, std::int64_t expected);
    void Work(TPostRun& run, std::int64_t bytes);
    void WorkEnd(TPostRun& run);

    std::string FSubject;
    quillate::TStringList FBody;
    std::string FSenderName, FEmailAddress, FReplyTo, FUserName;
    std::string FToken; // the password's stored form
    std::string FNewsServer, FGroups;
    std::int32_t FTimeOut = 0;
    quillate::TStringList FAttachments;
    bool FIgnoreMissingAttachments = false;
    bool FLogin = false;
    bool FHTMLMessage = false;
    std::string FEncoding;

    net::TNNTPClient FNNTP;
    std::shared_ptr<net::TLogEventIntercept> FLog;
};

} // namespace zr
