#include "mail/ZRNNTPAction.h"

#include "host/CryptoUtils.h"
#include "host/FileInfo.h"
#include "mail/ZRMailCommon.h"

#include <cmath>
#include <fmt/format.h>
#include <stdexcept>

namespace zr {

using namespace quillate;

namespace {

constexpr const char* PasswordKey = "qzr4nn7pp0st";

} // namespace

struct TNNTPActionProperties {
    using T = TZRNNTPAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .String("Subject", &T::FSubject)
            .StringList("Body", &T::FBody)
            .Help("The article's text (HTML when HTMLMessage)")
            .String("SenderName", &T::FSenderName)
            .String("EmailAddress", &T::FEmailAddress)
            .String("ReplyTo", &T::FReplyTo)
            .String("UserName", &T::FUserName)
            .ClearPassword("Password", &T::FToken, PasswordKey)
            .StoredPassword("Token", &T::FToken, PasswordKey)
            .Help("The password in its stored form (quillate encrypt --for action.nntp.post.Token)")
            .String("NewsServer", &T::FNewsServer)
            .String("Groups", &T::FGroups)
            .Help("Newsgroups to post to, separated by commas")
            .UInt("Port", &T::GetPort, &T::SetPort)
            .Port()
            .Int("TimeOut", &T::FTimeOut)
            .Help("Seconds to wait for the connection; 0 waits without a limit")
            .StringList("Attachments", &T::FAttachments)
            .Bool("IgnoreMissingAttachments", &T::FIgnoreMissingAttachments)
            .Bool("Login", &T::FLogin)
            .Bool("HTMLMessage", &T::FHTMLMessage)
            .String("Encoding", &T::FEncoding)
            .Help("Character set of the article, or \"default\"");
    }
};

TZRNNTPAction::TZRNNTPAction()
    : FLog(std::make_shared<net::TLogEventIntercept>(
          [this](net::TLogEventType type, std::string_view text) { LogEvent(type, text); })) {
    FNNTP.OnWorkBegin = [this](std::int64_t expected) { WorkBegin(expected); };
    FNNTP.OnWork = [this](std::int64_t bytes) { Work(bytes); };
    FNNTP.OnWorkEnd = [this] { WorkEnd(); };
    FNNTP.Connection().AddIntercept(FLog);
    SetCanTerminate(true);
}

const TMetaClass& TZRNNTPAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TZRNNTPAction>(
        "TZRNNTPAction", "action.nntp.post", &TZRAction::ClassInfo(), &TNNTPActionProperties::Define);
    return meta;
}

std::string TZRNNTPAction::GetFormattedDescription() const {
    return fmt::format("{} [ {} ]", TZRAction::GetFormattedDescription(), FGroups);
}

void TZRNNTPAction::GetPropertyAlias(TStringList& list) const {
    for (const char* line :
         {"[Message]", "Subject", "Body", "SenderName", "EmailAddress", "ReplyTo", "UserName", "Password",
          "Attachments", "IgnoreMissingAttachments", "[Server]", "NewsServer", "Groups", "Port", "TimeOut"})
        list.push_back(line);
}

void TZRNNTPAction::SetPort(std::uint32_t value) {
    FNNTP.Port = net::TCPPort(value);
}

bool TZRNNTPAction::Validate(TValidationErrors& errors) {
    std::size_t before = errors.size();
    TZRAction::Validate(errors);
    auto require = [&](bool missing, const char* property, const char* message) {
        if (missing)
            errors.push_back({property, message});
    };
    require(FEmailAddress.empty(), "Email Address", "The Sender Email Address has not been specified");
    require(FSenderName.empty(), "Sender", "The Sender has not been set");
    require(FNewsServer.empty(), "News Server", "The NNTP Host has not been set");
    require(FGroups.empty(), "News Groups", "Newsgroups to post to has not been set");
    require(LinesToText(FBody).empty(), "Body", "The Message Body has not been set");
    require(FSubject.empty(), "Subject", "The Message Subject has not been set");
    if (FLogin) {
        require(FUserName.empty(), "UserName", "The UserName has not been set");
        require(FToken.empty(), "Password", "The Password has not been set");
    }
    return errors.size() == before;
}

bool TZRNNTPAction::Expand(TArticle& article) {
    if (!FEncoding.empty() && LowerCase(FEncoding) != "default") {
        if (!TryExpandExpression("Encoding", FEncoding, article.Charset, false))
            return false;
        article.Charset = LowerCase(article.Charset);
    }
    if (!TryExpandExpression("Email Address", FEmailAddress, article.Email, true) ||
        !TryExpandExpression("Replyto", FReplyTo, article.ReplyTo, false) ||
        !TryExpandExpression("Sender", FSenderName, article.Sender, true) ||
        !TryExpandExpression("News Server", FNewsServer, article.Server, true) ||
        !TryExpandExpression("News Groups", FGroups, article.Groups, true) ||
        !TryExpandExpression("Body", LinesToText(FBody), article.Body, true) ||
        !TryExpandExpression("Subject", FSubject, article.Subject, true))
        return false;
    if (!FLogin)
        return true;
    std::string password;
    try {
        password = DecryptString(FToken, PasswordKey);
    } catch (const std::exception& e) {
        SendMessage(std::string("Password: ") + e.what(), stError);
        return false;
    }
    if (!TryExpandExpression("UserName", FUserName, article.User, true) ||
        !TryExpandPassword("Password", password, article.Password))
        return false;
    if (article.Password.empty()) {
        SendMessage("Password: a value is required", stError);
        return false;
    }
    return true;
}

void TZRNNTPAction::Compose(const TArticle& article) {
    FMessage.Charset = article.Charset;
    FMessage.MessageId = NewGuidText() + "@Quillate";
    FMessage.UserAgent = "Quillate";
    if (FHTMLMessage)
        FMessage.TextParts.push_back({article.Body, "text/html", "", "", -1});
    else {
        FMessage.ContentType = "text/plain";
        FMessage.Body = article.Body;
    }
    FMessage.Subject = article.Subject;
    FMessage.From = FMessage.Sender = {article.Sender, article.Email};
    if (!article.ReplyTo.empty())
        FMessage.ReplyTo.push_back({article.Sender, article.ReplyTo});
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = article.Groups.find(',', start);
        std::string group(TrimBlanks(std::string_view(article.Groups).substr(start, comma - start)));
        if (!group.empty())
            FMessage.Newsgroups.push_back(group);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
}

void TZRNNTPAction::AttachFiles() {
    for (const auto& line : FAttachments) {
        std::string path = ExpandExpression(line, false);
        if (TrimBlanks(path).empty())
            continue;
        // Only a missing file may be skipped: a device or a FIFO named as one is a mistake to report.
        const std::string problem = TFileInfo::AttachmentProblem(path);
        if (!problem.empty() && FIgnoreMissingAttachments && !TFileInfo::PathExists(path))
            continue;
        if (!problem.empty())
            throw std::runtime_error(problem);
        FMessage.Attachments.push_back(AttachmentFor(path));
        FProgress.AddExpected(EncodedAttachmentSize(path));
    }
    // A plain article with attachments becomes multipart/mixed with the text first.
    if (!FMessage.Attachments.empty() && !FHTMLMessage)
        FMessage.ContentType.clear();
}

void TZRNNTPAction::Post(const TArticle& article) {
    FNNTP.Host = article.Server;
    // No limit is what a time-out of 0 asks for.
    FNNTP.ConnectTimeout = FTimeOut > 0 ? std::chrono::milliseconds(std::int64_t{FTimeOut} * 1000)
                                        : net::TMailClient::NoTimeLimit;
    FNNTP.Username = article.User;
    FNNTP.Password = article.Password;
    // Groups, addresses and a character set the article cannot carry fail before anything is sent.
    FMessage.Check();
    FNNTP.Connect();
    FNNTP.Post([this](const net::TMimeMessage::TSink& write) { FMessage.Write(write); },
               FProgress.Expected() + static_cast<std::int64_t>(article.Body.size()));
}

bool TZRNNTPAction::Execute() {
    FNNTP.SetStopToken(GetStopToken());
    FProgress.End();
    FLastReportedBytes = 0;
    FLastReportedSpeed = 0;
    FMessage.Clear();
    TArticle article;
    if (!Expand(article))
        return false;
    try {
        Compose(article);
    } catch (const std::exception& e) {
        SendMessage(std::string("Unable to Set Body - ") + e.what(), stError);
        return false;
    }
    if (!Step("Unable to Attach Files", [&] { AttachFiles(); }))
        return false;
    bool result = false;
    try {
        Post(article);
        result = true;
    } catch (const std::exception& e) {
        SendMessage(std::string("Error posting message : ") + e.what(), stError);
    }
    FNNTP.Disconnect();
    FMessage.Clear();
    return result;
}

// Received lines and status texts reach the log, what was sent never does.
void TZRNNTPAction::LogEvent(net::TLogEventType type, std::string_view text) {
    if (type == net::TLogEventType::Sent)
        return;
    std::string peer = fmt::format("{}:{}", FNNTP.Host, FNNTP.Port);
    for (const auto& line :
         type == net::TLogEventType::Received ? MaskedEventLines(peer, text) : MaskedEventLines(text, text))
        SendMessage(line, stInformation);
}

void TZRNNTPAction::WorkBegin(std::int64_t expected) {
    FProgress.Begin(expected);
    FLastReportedSpeed = 0;
    FLastReportedBytes = 0;
    SendProgress(FProgress.SpeedText(TTransferDirection::Upload), 0);
}

// A line when the speed moved by more than 1 KB/s or more than 5000 bytes went out since the last.
void TZRNNTPAction::Work(std::int64_t bytes) {
    FProgress.Update(bytes);
    if (std::abs(FProgress.KBPerSecond() - FLastReportedSpeed) <= 1.0 && bytes - FLastReportedBytes <= 5000)
        return;
    SendProgress(FProgress.TransferredText(TTransferDirection::Upload), FProgress.Percent());
    FLastReportedSpeed = FProgress.KBPerSecond();
    FLastReportedBytes = bytes;
}

void TZRNNTPAction::WorkEnd() {
    SendProgress(FProgress.SpeedText(TTransferDirection::Upload), 0);
    FProgress.End();
}

} // namespace zr
