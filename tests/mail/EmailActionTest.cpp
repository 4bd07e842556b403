// "Send Email" against aiosmtpd and Dovecot, case by case from tests/data/mail/send.json (its head
// gives the format). Every run is also checked for the one thing no case may show: a password in the
// log, in clear or in the base64 forms AUTH sends.
#include "PackageTestSupport.h"
#include "host/Options.h"
#include "mail/ZREmailOptions.h"
#include "support/FTPServerFixture.h"
#include "support/POP3ServerFixture.h"
#include "support/SMTPServerFixture.h"

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace quillate;
using namespace quillate::testing;
using json = nlohmann::ordered_json;

namespace {

json LoadSendCases() {
    std::ifstream in(std::string(QUILLATE_TEST_DATA_DIR) + "/mail/send.json");
    return json::parse(in, nullptr, true, /*ignore_comments=*/true);
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

json Children(const json& c) {
    json children = json::array();
    if (c.contains("from"))
        children.push_back(AddressNode(c["from"], "from"));
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
        SMTP = new TSMTPTestServer();
        SMTP->Start();
        POP3 = new TPOP3TestServer();
        POP3->Start();
    }
    static void TearDownTestSuite() {
        delete SMTP;
        delete POP3;
    }
    void SetUp() override {
        EnsurePackageRegistered();
        OptionsService().Reset(FDir.Path() / "options.json");
        zr::RegisterEmailOptions();
    }
    void TearDown() override { OptionsService().Reset(); }

    // The case's text with every placeholder filled in; quoted numeric ones become numbers.
    std::string Fill(std::string text) const {
        for (auto [key, port] : {std::pair{"${port}", SMTP->Port()}, {"${bare}", SMTP->BarePort()},
                                 {"${tls}", SMTP->TLSPort()}, {"${pop}", POP3->Port()}}) {
            text = ReplaceAll(text, std::string("\"") + key + "\"", std::to_string(port));
            text = ReplaceAll(text, key, std::to_string(port));
        }
        return ReplaceAll(text, "${dir}", FDir.Path().string());
    }

    json Describe(const std::string& content) const {
        auto file = FDir.Path() / "message.eml";
        WriteTextFile(file, content);
        auto out = FDir.Path() / "tree.json";
        std::filesystem::remove(out); // the process's output is appended
        EXPECT_EQ(RunProcess({"/usr/bin/python3", (ServersDir() / "mail_tree.py").string(), file.string()}, {}, out), 0);
        return json::parse(ReadTextFile(out));
    }

    static inline TSMTPTestServer* SMTP = nullptr;
    static inline TPOP3TestServer* POP3 = nullptr;
    TTempDir FDir{"quillate-send"};
};

TEST_P(SendEmail, SendsWhatTheCaseExpects) {
    const json c = json::parse(Fill(GetParam().dump()));
    const std::string ca = std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/ca.pem";
    TScopedEnvironment certificates("SSL_CERT_FILE", c.value("testCA", true) ? ca.c_str() : nullptr);
    const json files = c.value("files", json::object()), hostOptions = c.value("hostOptions", json::object()),
               emailOptions = c.value("emailOptions", json::object());
    for (const auto& [name, content] : files.items())
        WriteTextFile(FDir.Path() / name, content.get<std::string>());
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
    json project = {{"variables", c.value("variables", json::object())}, {"actions", {action}}};

    std::size_t before = SMTP->Messages().size();
    TPackageRun run;
    if (c.contains("stopAt"))
        run.OnLine = [stopAt = c["stopAt"].get<std::string>()](const TLogEntry& entry, TRunner& runner) {
            if (entry.Text.find(stopAt) != std::string::npos)
                runner.RequestStop();
        };
    auto lines = run.Run(project.dump());
    std::string log;
    for (const auto& line : lines)
        log += line + "\n";

    const char* outcome = run.Outcome == TRunOutcome::Succeeded ? "succeeded"
                          : run.Outcome == TRunOutcome::Stopped ? "stopped"
                                                                : "failed";
    EXPECT_EQ(outcome, c["outcome"]) << log;
    for (const char* secret : {"s3cret", "czNjcmV0", "AG1haWxlcgBzM2NyZXQ"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in\n" << log;
    for (const auto& text : c.value("log", json::array()))
        EXPECT_NE(log.find(text.get<std::string>()), std::string::npos) << text << " not in\n" << log;
    for (const auto& text : c.value("noLog", json::array()))
        EXPECT_EQ(log.find(text.get<std::string>()), std::string::npos) << text << " in\n" << log;
    std::size_t at = 0;
    const json order = c.value("logOrder", json::array());
    for (const auto& text : order) {
        at = log.find(text.get<std::string>(), at);
        ASSERT_NE(at, std::string::npos) << text << " not in order in\n" << log;
    }

    auto messages = SMTP->Messages();
    messages.erase(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(before));
    const json& expected = c["messages"];
    ASSERT_EQ(messages.size(), expected.size()) << log;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(json(messages[i].To), expected[i]["rcpt"]) << "message " << i;
        json tree = Describe(messages[i].Content);
        EXPECT_EQ(tree["messageId"].get<std::string>().find("@Quillate>"), 37u) << tree["messageId"];
        for (const auto& [key, value] : expected[i].items()) {
            if (key == "rcpt")
                continue;
            EXPECT_EQ(tree[key], value) << key << " of message " << i << "\n" << messages[i].Content;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Data, SendEmail, ::testing::ValuesIn(LoadSendCases()),
                         [](const auto& info) { return info.param.at("name").template get<std::string>(); });

} // namespace
