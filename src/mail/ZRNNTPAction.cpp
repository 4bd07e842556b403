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
    if (!StepInline("Password: ", [&] { password = DecryptString(FToken, PasswordKey); }))
        return false;
    if (!TryExpandExpression("UserName", FUserName, article.User, true) ||
        !TryExpandPassword("Password", password, article.Password))
        return false;
    if (article.Password.empty()) {
        SendMessage("Password: a value is required", stError);
        return false;
    }
    return true;
}

void TZRNNTPAction::Compose(TPostRun& run, const TArticle& article) {
    run.Message.Charset = article.Charset;
    run.Message.MessageId = NewGuidText() + "@Quillate";
    run.Message.UserAgent = "Quillate";
    if (FHTMLMessage)
        run.Message.TextParts.push_back({article.Body, "text/html", "", "", -1});
    else {
        run.Message.ContentType = "text/plain";
        run.Message.Body = article.Body;
    }
    run.Message.Subject = article.Subject;
    run.Message.From = run.Message.Sender = {article.Sender, article.Email};
    if (!article.ReplyTo.empty())
        run.Message.ReplyTo.push_back({article.Sender, article.ReplyTo});
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = article.Groups.find(',', start);
        std::string group(TrimBlanks(std::string_view(article.Groups).substr(start, comma - start)));
        if (!group.empty())
            run.Message.Newsgroups.push_back(group);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
}

void TZRNNTPAction::AttachFiles(TPostRun& run) {
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
        run.Message.Attachments.push_back(AttachmentFor(path));
        run.Progress.AddExpected(EncodedAttachmentSize(path));
    }
    // A plain article with attachments becomes multipart/mixed with the text first.
    if (!run.Message.Attachments.empty() && !FHTMLMessage)
        run.Message.ContentType.clear();
}

void TZRNNTPAction::Post(TPostRun& run, const TArticle& article) {
    FNNTP.Host = article.Server;
    // No limit is what a time-out of 0 asks for.
    FNNTP.ConnectTimeout = FTimeOut > 0 ? std::chrono::milliseconds(std::int64_t{FTimeOut} * 1000)
                                        : net::TMailClient::NoTimeLimit;
    FNNTP.Username = article.User;
    FNNTP.Password = article.Password;
    // Groups, addresses and a character set the article cannot carry fail before anything is sent.
    run.Message.Check();
    FNNTP.Connect();
    FNNTP.Post([&run](const net::TMimeMessage::TSink& write) { run.Message.Write(write); },
               run.Progress.Expected() + static_cast<std::int64_t>(article.Body.size()));
}

bool TZRNNTPAction::Execute() {
    FNNTP.SetStopToken(GetStopToken());
    TPostRun run;
    FNNTP.OnWorkBegin = [this, &run](std::int64_t expected) { WorkBegin(run, expected); };
    FNNTP.OnWork = [this, &run](std::int64_t bytes) { Work(run, bytes); };
    FNNTP.OnWorkEnd = [this, &run] { WorkEnd(run); };
    // The client's handlers refer to the run: they go before it does, however the run ends.
    struct TUnhook {
        net::TNNTPClient& Client;
        ~TUnhook() {
            Client.OnWorkBegin = nullptr;
            Client.OnWork = nullptr;
            Client.OnWorkEnd = nullptr;
        }
    } unhook{FNNTP};
    TArticle article;
    if (!Expand(article) || !StepInline("Unable to Set Body - ", [&] { Compose(run, article); }) ||
        !Step("Unable to Attach Files", [&] { AttachFiles(run); }))
        return false;
    bool result = StepInline("Error posting message : ", [&] { Post(run, article); });
    FNNTP.Disconnect();
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

void TZRNNTPAction::WorkBegin(TPostRun& run, std::int64_t expected) {
    run.Progress.Begin(expected);
    run.LastReportedSpeed = 0;
    run.LastReportedBytes = 0;
    SendProgress(run.Progress.SpeedText(TTransferDirection::Upload), 0);
}

// A line when the speed moved by more than 1 KB/s or more than 5000 bytes went out since the last.
void TZRNNTPAction::Work(TPostRun& run, std::int64_t bytes) {
    run.Progress.Update(bytes);
    if (std::abs(run.Progress.KBPerSecond() - run.LastReportedSpeed) <= 1.0 &&
        bytes - run.LastReportedBytes <= 5000)
        return;
    SendProgress(run.Progress.TransferredText(TTransferDirection::Upload), run.Progress.Percent());
    run.LastReportedSpeed = run.Progress.KBPerSecond();
    run.LastReportedBytes = bytes;
}

void TZRNNTPAction::WorkEnd(TPostRun& run) {
    SendProgress(run.Progress.SpeedText(TTransferDirection::Upload), 0);
    run.Progress.End();
}

} // namespace zr
