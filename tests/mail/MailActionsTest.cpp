// "Send Email" against aiosmtpd and Dovecot (tests/data/mail/send.json) and "NNTP News Post" against
// jamnntpd and our recording news server (post.json), case by case; the head of each file gives its
// format. Every run is also checked for the one thing no case may show: a password in the log, in
// clear or in the base64 forms AUTH sends.
#include "ActionCases.h"
#include "host/Options.h"
#include "mail/ZREmailOptions.h"
#include "package/ZRInternetReg.h"
#include "support/POP3ServerFixture.h"
#include "support/NNTPServerFixture.h"
#include "support/SMTPServerFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace quillate;
using namespace quillate::testing;
using json = TCase;

namespace {

constexpr std::initializer_list<const char*> Secrets = {"s3cret", "czNjcmV0", "AG1haWxlcgBzM2NyZXQ", "n3wspass"};

// The stored message as tests/servers/mail_tree.py reads it, compared key by key with the case;
// "headers" are lines its head must hold as written, "noHeaders" names of fields it must not have.
void ExpectMessage(const std::filesystem::path& dir, const std::string& content, const json& expected) {
    auto file = dir / "message.eml";
    auto out = dir / "tree.json";
    WriteTextFile(file, content);
    std::filesystem::remove(out); // the process's output is appended
    ASSERT_EQ(RunProcess({"/usr/bin/python3", (ServersDir() / "mail_tree.py").string(), file.string()}, {}, out), 0);
    json tree = json::parse(ReadTextFile(out));
    EXPECT_EQ(tree["messageId"].get<std::string>().find("@Quillate>"), 37u) << tree["messageId"];
    const std::string head = "\r\n" + content.substr(0, content.find("\r\n\r\n") + 2);
    for (const auto& [key, value] : expected.items()) {
        if (key == "headers" || key == "noHeaders") {
            for (const auto& line : value) {
                const std::string wanted =
                    "\r\n" + line.get<std::string>() + (key == "headers" ? "\r\n" : ":");
                EXPECT_EQ(head.find(wanted) != std::string::npos, key == "headers") << line << " in" << head;
            }
        } else if (key != "rcpt") {
            EXPECT_EQ(tree[key], value) << key << " of\n" << content;
        }
    }
}

// "Name <mailbox>" or a bare mailbox; a leading "-" makes the entry disabled.
json AddressNode(std::string text, const char* role = nullptr) {
    bool enabled = !text.starts_with("-");
    if (!enabled)
        text.erase(0, 1);
    json properties = json::object();
    if (auto open = text.find(" <"); open != std::string::npos) {
        properties["Name"] = text.substr(0, open);
        text = text.substr(open + 2, text.size() - open - 3);
    }
    properties["Address"] = text;
    if (!enabled)
        properties["Enabled"] = false;
    if (role)
        properties["AddressType"] = role;
    return {{"type", "email.address"}, {"properties", properties}};
}

// The case with "${dir}" and every port placeholder filled in (quoted ports become numbers), and
// its "files" written to dir.
json Prepared(const json& c, const std::filesystem::path& dir,
              std::initializer_list<std::pair<const char*, std::uint16_t>> ports) {
    std::string text = c.dump();
    for (auto [key, port] : ports) {
        text = ReplaceAll(text, std::string("\"") + key + "\"", std::to_string(port));
        text = ReplaceAll(text, key, std::to_string(port));
    }
    const json filled = json::parse(ReplaceAll(text, "${dir}", dir.string())),
               files = filled.value("files", json::object());
    for (const auto& [name, content] : files.items())
        WriteTextFile(dir / name, content.get<std::string>());
    return filled;
}

json Children(const json& c) {
    json children = json::array();
    for (auto role : {"from", "sender", "ReceiptRecipient"})
        if (c.contains(role))
            children.push_back(AddressNode(c[role], role));
    for (auto [key, role] : {std::pair{"to", "recipients"}, {"cc", "copyto"}, {"bcc", "blindcopyto"},
                             {"replyTo", "replyto"}}) {
        if (!c.contains(key))
            continue;
        json list = {{"type", "email.list"}, {"properties", {{"ListType", role}}}, {"children", json::array()}};
        for (const auto& entry : c[key])
            list["children"].push_back(AddressNode(entry));
        children.push_back(list);
    }
    return children;
}

class SendEmail : public ::testing::TestWithParam<json> {
protected:
    static void SetUpTestSuite() {
        (SMTP = std::make_unique<TSMTPTestServer>())->Start();
        (POP3 = std::make_unique<TPOP3TestServer>())->Start();
    }
    static void TearDownTestSuite() { SMTP.reset(), POP3.reset(); }
    void SetUp() override {
        EnsurePackageRegistered();
        OptionsService().Reset(FDir.Path() / "options.json");
        zr::RegisterProtocolOptions(zr::EmailProtocol());
    }
    void TearDown() override { OptionsService().Reset(); }

    static inline std::unique_ptr<TSMTPTestServer> SMTP;
    static inline std::unique_ptr<TPOP3TestServer> POP3;
    TTempDir FDir{"quillate-send"};
};

TEST_P(SendEmail, SendsWhatTheCaseExpects) {
    const json c = Prepared(GetParam(), FDir.Path(),
                            {std::pair{"${port}", SMTP->Port()},
                             {"${bare}", SMTP->BarePort()},
                             {"${tls}", SMTP->TLSPort()},
                             {"${pop}", POP3->Port()}});
    auto ca = TrustTestCA(c.value("testCA", true));
    const json hostOptions = c.value("hostOptions", json::object()),
               emailOptions = c.value("emailOptions", json::object());
    for (const auto& [key, value] : hostOptions.items())
        OptionsService().Store().Section("Host").WriteBool(key, value.get<bool>());
    for (const auto& [key, value] : emailOptions.items())
        zr::EmailOptions()->SetPropertyValue(key, value.is_number() ? TPropertyValue(value.get<std::int64_t>())
                                                                    : TPropertyValue(value.get<std::string>()));

    json properties = {{"Host", "127.0.0.1"}, {"Port", SMTP->Port()}};
    properties.update(c["properties"]);
    json action = {{"type", "action.smtp.send"}, {"properties", properties}, {"children", Children(c)}};
    if (c.contains("scripts"))
        action["scripts"] = c["scripts"];

    std::size_t before = SMTP->Messages().size();
    TRunOutcome outcome;
    std::string log = RunCase(c, action, outcome);
    EXPECT_EQ(OutcomeName(outcome), c["outcome"]) << log;
    ExpectCaseLog(c, log, Secrets);

    auto messages = SMTP->Messages();
    messages.erase(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(before));
    const json& expected = c["messages"];
    ASSERT_EQ(messages.size(), expected.size()) << log;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE("message " + std::to_string(i));
        EXPECT_EQ(json(messages[i].To), expected[i]["rcpt"]);
        ExpectMessage(FDir.Path(), messages[i].Content, expected[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Data, SendEmail, ::testing::ValuesIn(LoadCases("mail/send.json")), CaseName);

class PostNews : public ::testing::TestWithParam<json> {
protected:
    static void SetUpTestSuite() {
        (Jam = std::make_unique<TNNTPTestServer>())->Start();
        (Recorder = std::make_unique<TRecordingNNTPServer>())->Start();
    }
    static void TearDownTestSuite() { Jam.reset(), Recorder.reset(); }
    static inline std::unique_ptr<TNNTPTestServer> Jam;
    static inline std::unique_ptr<TRecordingNNTPServer> Recorder;
    TTempDir FDir{"quillate-post"};
};

TEST_P(PostNews, PostsWhatTheCaseExpects) {
    const bool jam = GetParam().value("server", "recorder") == "jam";
    const std::uint16_t port = jam ? Jam->Port() : Recorder->Port();
    const json c = Prepared(GetParam(), FDir.Path(), {{"${port}", port}});
    json properties = {{"NewsServer", "127.0.0.1"}, {"Port", port},
                       {"SenderName", "Ann"}, {"EmailAddress", "ann@x.org"}, {"Subject", "News"},
                       {"Groups", jam ? TNNTPTestServer::Group : "quillate.test"}, {"Body", {"Hello"}},
                       {"Login", true}, {"UserName", "poster"}, {"Password", "n3wspass"}};
    properties.update(c["properties"]);
    std::size_t before = jam ? Jam->Articles(TNNTPTestServer::Group).size() : Recorder->Articles().size();

    TRunOutcome outcome;
    std::string log = RunCase(c, {{"type", "action.nntp.post"}, {"properties", properties}}, outcome);
    EXPECT_EQ(OutcomeName(outcome), c["outcome"]) << log;
    ExpectCaseLog(c, log, Secrets);

    const json& expected = c["articles"];
    if (jam) {
        auto stored = Jam->Articles(TNNTPTestServer::Group);
        ASSERT_EQ(stored.size() - before, expected.size()) << log;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto& article = stored[before + i];
            json replyAddress = json::array();
            for (const auto& kludge : article.Kludges)
                if (kludge.starts_with("REPLYADDR "))
                    replyAddress.push_back(kludge.substr(10));
            json actual = {{"sender", article.Sender}, {"subject", article.Subject}, {"text", article.Text},
                           {"replyAddress", replyAddress}};
            for (const auto& [key, value] : expected[i].items())
                EXPECT_EQ(actual[key], value) << key;
        }
        return;
    }
    auto stored = Recorder->Articles();
    ASSERT_EQ(stored.size() - before, expected.size()) << log;
    for (std::size_t i = 0; i < expected.size(); ++i)
        ExpectMessage(FDir.Path(), stored[before + i], expected[i]);
}

INSTANTIATE_TEST_SUITE_P(Data, PostNews, ::testing::ValuesIn(LoadCases("mail/post.json")), CaseName);

} // namespace
