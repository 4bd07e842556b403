// "HTTP Get File" against tests/servers/httpd.py and tinyproxy, case by case from
// tests/data/web/get.json (its head gives the format). No run may show a password in its log.
#include "ActionCases.h"
#include "host/Options.h"
#include "support/HTTPServerFixture.h"
#include "web/ZRInetGetHTTPAction.h"

#include <chrono>
#include <filesystem>

using namespace quillate;
using namespace quillate::testing;
using json = TCase;

namespace {

constexpr std::initializer_list<const char*> Secrets = {"w3b-s3cret", "d2VidXNlcjp3M2ItczNjcmV0", "pr0xy-s3cret",
                                                        "cHJveHl1c2VyOnByMHh5LXMzY3JldA"};

class HTTPGet : public ::testing::TestWithParam<json> {
protected:
    static void SetUpTestSuite() { (Server = std::make_unique<THTTPTestServer>())->Start(); }
    static void TearDownTestSuite() { Server.reset(); }
    void SetUp() override {
        EnsurePackageRegistered();
        OptionsService().Reset(FDir.Path() / "options.json");
        std::filesystem::create_directory(Folder());
    }
    void TearDown() override { OptionsService().Reset(); }

    std::filesystem::path Folder() const { return FDir.Path() / "files"; }

    // The case's text with every placeholder filled in; quoted numeric ones become numbers.
    std::string Fill(std::string text) const {
        text = ReplaceAll(text, "${base}", "http://127.0.0.1:${port}");
        for (auto [key, port] : {std::pair{"${port}", Server->Port()}, {"${tls}", Server->TLSPort()},
                                 {"${proxy}", Server->ProxyPort()}}) {
            text = ReplaceAll(text, std::string("\"") + key + "\"", std::to_string(port));
            text = ReplaceAll(text, key, std::to_string(port));
        }
        for (auto [key, value] : {std::pair{"${user}", THTTPTestServer::User}, {"${password}", THTTPTestServer::Password},
                                  {"${proxyUser}", THTTPTestServer::ProxyUser},
                                  {"${proxyPassword}", THTTPTestServer::ProxyPassword}})
            text = ReplaceAll(text, key, value);
        return ReplaceAll(text, "${dir}", Folder().string());
    }

    static inline std::unique_ptr<THTTPTestServer> Server;
    TTempDir FDir{"quillate-get"};
};

TEST_P(HTTPGet, FetchesWhatTheCaseExpects) {
    const json c = json::parse(Fill(GetParam().dump()));
    auto ca = TrustTestCA();
    const json hostOptions = c.value("hostOptions", json::object()), before = c.value("files", json::object()),
               variablesAfter = c.value("variablesAfter", json::object());
    for (const auto& [key, value] : hostOptions.items())
        OptionsService().Store().Section("Host").WriteBool(key, value.get<bool>());
    for (const auto& [name, content] : before.items())
        WriteTextFile(Folder() / name, content.get<std::string>());

    json properties = {{"URL", "http://127.0.0.1:" + std::to_string(Server->Port()) + c.value("path", "")},
                       {"Port", Server->Port()}};
    properties.update(c["properties"]);
    json action = {{"type", "action.inet.http.get"}, {"properties", properties}};

    // "interrupt": the user stops the run, or its time-out runs out, once the given line is logged.
    std::chrono::steady_clock::time_point interrupted{};
    TPackageRun::TDuring during;
    TPackageRun run;
    if (c.contains("interrupt"))
        during = [&](TRunner& runner, TProject& project) {
            ASSERT_TRUE(run.WaitForLine(c["interrupt"]["at"], std::chrono::seconds(30)));
            interrupted = std::chrono::steady_clock::now();
            if (c["interrupt"]["by"] == "stop")
                StopFromMainThread(runner);
            else
                std::static_pointer_cast<zr::TZRInetHTTPGetAction>(project.Actions[0])->DoTimeout();
        };
    const std::size_t outputBefore = Server->Output().size();
    TRunOutcome outcome;
    std::string log = RunCase(c, action, outcome, during, &run);
    // The client's abort itself is timed closely in its own tests.
    if (c.contains("interrupt")) {
        EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(3));
    }

    EXPECT_EQ(OutcomeName(outcome), c["outcome"]) << log;
    ExpectCaseLog(c, log, Secrets);
    if (c.contains("requests")) {
        std::string requests; // the server's log has a line for each request
        for (const auto& line : c["requests"])
            requests += line.get<std::string>() + "\n";
        EXPECT_EQ(Server->Output().substr(outputBefore), requests) << log;
    }
    // Every file of the folder afterwards, so that nothing half-written stays beside the target.
    json files = json::object();
    for (const auto& entry : std::filesystem::directory_iterator(Folder()))
        files[entry.path().filename().string()] = ReadTextFile(entry.path());
    EXPECT_EQ(files, c.value("filesAfter", before)) << log;
    for (const auto& [name, value] : variablesAfter.items())
        EXPECT_EQ(run.Variables.Get(name).value_or("<undefined>"), value.get<std::string>()) << name;
}

INSTANTIATE_TEST_SUITE_P(Data, HTTPGet, ::testing::ValuesIn(LoadCases("web/get.json")), CaseName);

} // namespace
