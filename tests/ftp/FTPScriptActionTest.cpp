#include "PackageTestSupport.h"
#include "ftp/ZRFTPOptions.h"
#include "ftp/script/ZRFTP.h"
#include "host/CryptoUtils.h"
#include "host/Options.h"
#include "mail/ZREmailOptions.h"

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::Pair;
using json = nlohmann::ordered_json;
namespace fs = std::filesystem;

namespace {

json Step(const std::string& type, json properties = json::object()) {
    json node = {{"type", type}};
    if (!properties.empty())
        node["properties"] = std::move(properties);
    return node;
}

std::string ScriptProject(json props, json steps, json scripts = json::object(),
                          json variables = json::object()) {
    json action = {
        {"type", "action.ftp.script"}, {"properties", std::move(props)}, {"children", std::move(steps)}};
    if (!scripts.empty())
        action["scripts"] = std::move(scripts);
    json root;
    if (!variables.empty())
        root["variables"] = std::move(variables);
    root["actions"] = json::array({action});
    return root.dump(2) + "\n";
}

class FTPScriptAction : public TFTPServerActionTest {
protected:
    // The test server's login, in the order the host writes the properties.
    json Settings(bool passive = true) const {
        json props = {{"Host", "127.0.0.1"}, {"Port", FServer->Port()}, {"UserID", TFTPTestServer::User}};
        if (passive)
            props["Passive"] = true;
        props["EncryptedPassword"] = EncryptString(TFTPTestServer::Password, zr::TFTPAction::PasswordKey);
        return props;
    }
    std::vector<std::string> ServerTree() const {
        std::vector<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(FServer->Home()))
            entries.push_back(fs::relative(entry.path(), FServer->Home()).string());
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    TTempDir FLocal{"quillate-script-local"};
};

TEST_P(FTPScriptAction, RunsEveryKindOfStepAndLeavesTheServerAsItFoundIt) {
    const std::string dir = FLocal.Path().string() + "/";
    std::string big(300 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    WriteTextFile(FLocal.Path() / "a.txt", "alpha");
    WriteTextFile(FLocal.Path() / "b.txt", big);
    WriteTextFile(FLocal.Path() / "c.txt", "charlie!");
    WriteTextFile(FLocal.Path() / "skip.dat", "not matched");
    fs::create_directory(FLocal.Path() / "folder.txt");
    auto before = ServerTree();

    json steps = json::array(
        {Step("ftp.script.getcurrentdir", {{"VariableName", "Start"}}),
         Step("ftp.script.makedir", {{"RemoteDir", "work"}}),
         Step("ftp.script.changedir", {{"RemoteDir", "%Dir%"}}),
         Step("ftp.script.uploadfile", {{"LocalFile", dir + "*.txt"}, {"CompareFileSize", true}}),
         Step("ftp.script.listdir", {{"VariableName", "Listing"}}),
         Step("ftp.script.getcurrentdir", {{"VariableName", "Undeclared"}}),
         Step("ftp.script.filesize", {{"RemoteFile", "b.txt"}, {"VariableName", "Size"}}),
         Step("ftp.script.downloadfile", {{"RemoteFile", "b.txt"}, {"LocalFile", dir + "b.back"}}),
         Step("ftp.script.renamefile", {{"RemoteFile", "c.txt"}, {"NewName", "c2.txt"}}),
         Step("ftp.script.deletedir", {{"Enabled", false}, {"RemoteDir", "work"}}),
         Step("ftp.script.deltefile", {{"RemoteFile", "a.txt"}}),
         Step("ftp.script.deltefile", {{"RemoteFile", "b.txt"}}),
         Step("ftp.script.deltefile", {{"RemoteFile", "c2.txt"}}), Step("ftp.script.changeup"),
         Step("ftp.script.deletedir", {{"RemoteDir", "work"}})});
    // A variable set by a script is seen by the steps after it: texts are expanded when their step runs.
    json scripts = {{"OnConnect", "print('connect') Action:SetVariable('Dir', 'work')"},
                    {"OnDisconnect", "print('bye ' .. Action.Host)"},
                    {"OnChangeDir", "print('dir ' .. CurrentDir)"},
                    {"OnUploadCompleted", "print('up ' .. LocalFile .. ' > ' .. RemoteFile)"},
                    {"OnDownloadCompleted", "print('down ' .. RemoteFile .. ' > ' .. LocalFile)"}};
    std::string text = ScriptProject(Settings(), steps, scripts,
                                     {{"Dir", "unset"}, {"Start", ""}, {"Listing", ""}, {"Size", ""}});
    EnsurePackageRegistered();
    TProject project = TProject::Parse(text, "script.json");
    EXPECT_EQ(project.ToJson(), text);
    TPackageRun run;
    run.Run(project);
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);

    std::string start = run.Variables.Get("Start").value_or("?");
    std::string work = start == "/" ? "/work" : start + "/work";
    // The action's lines with their tags: "+" success, "." information.
    std::string transcript;
    for (const auto& e : run.Log.Entries())
        if (e.Group > 0 && e.Text != e.Action)
            transcript += (e.Tag == stSuccess ? "+ " : e.Tag == stInformation ? ". " : "? ") + e.Text + "\n";
    std::string uploads;
    for (auto [name, size] : {std::pair("a.txt", 5), std::pair("b.txt", 307200), std::pair("c.txt", 8)})
        uploads += fmt::format(". Uploading File : {0}{1} to : {1}\n. Checking FileSize\n"
                               "+ File Uploaded : {2} bytes - size ok\n. up {0}{1} > {1}\n",
                               dir, name, size);
    EXPECT_EQ(transcript, fmt::format(R"(. Connection to host : 127.0.0.1
. connect
. Connected!
. Retrieving Current Directory into Variable : Start
. Current Directory is : {start}
. dir {start}
. Creating Directory : work
+ Directory Created!
. Changing Directory to : work
. Current Directory is : work
. dir work
{uploads}. Listing Directory : work /
. Retrieving Current Directory into Variable : Undeclared
. Current Directory is : {work}
. dir {work}
. Getting File Size for :b.txt
. Variable : Size set to : 307200
. File Size is : 307200
. Downloading File : b.txt to : {dir}b.back
+ File Downloaded : 307200 bytes
. down b.txt > {dir}b.back
. Renaming File : c.txt to : c2.txt
+ File Renamed!
. Delete File : a.txt
+ File(s) Deleted
. Delete File : b.txt
+ File(s) Deleted
. Delete File : c2.txt
+ File(s) Deleted
. Changing Directory Up
. Current Directory is : {start}
. dir {start}
. Delete Directory : work
+ Directory Deleted!
. Disconnecting from Host....
. bye 127.0.0.1
+ Disconnected!
)",
                                      fmt::arg("start", start), fmt::arg("work", work), fmt::arg("dir", dir),
                                      fmt::arg("uploads", uploads)));

    std::vector<std::string> listed;
    std::stringstream listing(run.Variables.Get("Listing").value_or(""));
    for (std::string name; std::getline(listing, name, ',');)
        listed.push_back(fs::path(name).filename().string());
    std::sort(listed.begin(), listed.end());
    EXPECT_THAT(listed, ElementsAre("a.txt", "b.txt", "c.txt"));
    EXPECT_FALSE(run.Variables.IsDefined("Undeclared")) << "only variables the project defines are set";
    EXPECT_EQ(run.Variables.Get("Size"), "307200");
    EXPECT_EQ(ReadTextFile(FLocal.Path() / "b.back"), big);
    EXPECT_EQ(ServerTree(), before);

    std::vector<std::pair<std::string, int>> progress;
    for (const auto& line : run.ProgressLines())
        progress.emplace_back(line.Text, line.Percent);
    std::string speed = " speed : [0-9]+\\.[0-9]{2} KB/s : 300/300 KBytes Transferred";
    EXPECT_THAT(progress, Contains(Pair("Upload speed : 0.00 KB/s", 0)));
    EXPECT_THAT(progress, Contains(Pair(MatchesRegex("Upload" + speed), 100)));
    EXPECT_THAT(progress, Contains(Pair(MatchesRegex("Download" + speed), 100)));
}

TEST_P(FTPScriptAction, AFailingStepEndsTheScriptUnlessItIgnoresErrors) {
    auto steps = [](bool ignoreDelete) {
        return json::array(
            {Step("ftp.script.changedir", {{"IgnoreError", true}, {"RemoteDir", "missing"}}),
             Step("ftp.script.makedir", {{"RemoteDir", "made"}}),
             Step("ftp.script.deltefile", {{"IgnoreError", ignoreDelete}, {"RemoteFile", "nofile.txt"}}),
             Step("ftp.script.deletedir", {{"RemoteDir", "made"}})});
    };
    TPackageRun stops;
    auto lines = stops.Run(ScriptProject(Settings(), steps(false)));
    EXPECT_THAT(lines,
                ElementsAre("Connection to host : 127.0.0.1", "Connected!", "Changing Directory to : missing",
                            HasSubstr("CWD missing"), "Creating Directory : made", "Directory Created!",
                            "Delete File : nofile.txt", HasSubstr("DELE nofile.txt"),
                            "Disconnecting from Host....", "Disconnected!"));
    EXPECT_THAT(stops.Log.Texts(stError), ElementsAre(HasSubstr("CWD missing"), HasSubstr("DELE nofile.txt"),
                                                      "Run failed: 1 action run, 1 failed"));
    EXPECT_EQ(stops.Outcome, TRunOutcome::Failed);
    EXPECT_TRUE(fs::is_directory(FServer->Home() / "made")) << "the step after the failure ran";

    fs::remove(FServer->Home() / "made");
    TPackageRun goesOn;
    EXPECT_THAT(goesOn.Run(ScriptProject(Settings(), steps(true))), Contains("Directory Deleted!"));
    EXPECT_EQ(goesOn.Outcome, TRunOutcome::Succeeded);
}

// The server stores an ASCII upload with its own line ends, so a CR LF file arrives smaller. Active
// mode, the action's default, on the way.
TEST_P(FTPScriptAction, ASizeMismatchFailsTheUploadNamingBothSizes) {
    std::string local = (FLocal.Path() / "crlf.txt").string();
    WriteTextFile(local, "one\r\ntwo\r\n");
    json props = Settings(false);
    props["TransferType"] = "ftASCII";
    json steps =
        json::array({Step("ftp.script.uploadfile",
                          {{"RemoteFile", "crlf.txt"}, {"LocalFile", local}, {"CompareFileSize", true}}),
                     Step("ftp.script.makedir", {{"RemoteDir", "never"}})});
    TPackageRun run;
    EXPECT_THAT(run.Run(ScriptProject(props, steps)),
                ElementsAre("Connection to host : 127.0.0.1", "Connected!",
                            "Uploading File : " + local + " to : crlf.txt", "Checking FileSize",
                            "Uploaded File :crlf.txt file size(8) is not the same as local file(10)",
                            "Disconnecting from Host....", "Disconnected!"));
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    EXPECT_EQ(ReadTextFile(FServer->Home() / "crlf.txt"), "one\ntwo\n");
}

TEST_P(FTPScriptAction, GlobalOptionsSupplyTheServerAndTheLogMasksThePassword) {
    struct TOwnStore {
        explicit TOwnStore(const fs::path& path) {
            OptionsService().Reset(path);
            zr::RegisterFTPOptions();
        }
        ~TOwnStore() {
            OptionsService().Reset();
            zr::RegisterEmailOptions();
            zr::RegisterFTPOptions();
        }
    } store(FLocal.Path() / "options.json");
    auto global = zr::FTPOptions();
    global->SetFTPServer("127.0.0.1");
    global->SetFTPPort(FServer->Port());
    global->SetFTPUser(TFTPTestServer::User);
    global->SetFTPPassword(TFTPTestServer::Password);

    json props = {{"Host", "own.invalid"},   {"Port", 1},
                  {"UserID", "nobody"},      {"Passive", true},
                  {"DetailedLogging", true}, {"UseGlobalOptions", true}};
    TPackageRun run;
    auto lines = run.Run(ScriptProject(props, json::array({Step("ftp.script.changeup")})));
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
    std::string peer = "127.0.0.1:" + std::to_string(FServer->Port()) + " : ";
    for (const char* sent : {"USER tester", "pass xxx", "CDUP", "QUIT"})
        EXPECT_THAT(lines, Contains(peer + sent));
    EXPECT_THAT(lines, Not(Contains(HasSubstr(TFTPTestServer::Password))));
}

// The stop lands between two uploads of a mask or inside one; either way nothing after it runs.
TEST_P(FTPScriptAction, AStopEndsTheScriptAndStillDisconnects) {
    constexpr int Files = 40;
    for (int i = 0; i < Files; ++i)
        WriteTextFile(FLocal.Path() / ("f" + std::to_string(100 + i) + ".bin"), std::string(16 * 1024, 'x'));
    json steps = json::array({Step("ftp.script.uploadfile",
                                   {{"IgnoreError", true}, {"LocalFile", FLocal.Path().string() + "/*.bin"}}),
                              Step("ftp.script.makedir", {{"RemoteDir", "after"}})});
    TPackageRun run;
    auto lines = run.Run(ScriptProject(Settings(), steps), [&run](TRunner&, TProject& project) {
        while (!run.Finished && !run.Log.Contains("File Uploaded : 16384 bytes"))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        project.Actions.at(0)->TerminateAction();
    });
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    EXPECT_THAT(lines, Contains("User Aborted Action!"));
    EXPECT_THAT(lines, Not(Contains("Creating Directory : after")));
    EXPECT_EQ(lines.back(), "Disconnected!");
    EXPECT_LT(std::distance(fs::directory_iterator(FServer->Home()), fs::directory_iterator()), Files);
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPScriptAction, AllFTPServers, ServerName);

TEST(FTPScriptActionConnect, AnUnreachableServerEndsTheRunBeforeAnyEvent) {
    EnsurePackageRegistered();
    std::uint16_t port = FindFreePort();
    json action = {{"type", "action.ftp.script"},
                   {"properties", {{"Host", "127.0.0.1"}, {"Port", port}}},
                   {"children", json::array({Step("ftp.script.changeup")})},
                   {"scripts", {{"OnConnect", "print('connected')"}, {"OnDisconnect", "print('gone')"}}}};
    TPackageRun run;
    EXPECT_THAT(run.Run(json{{"actions", json::array({action})}}.dump()),
                ElementsAre("Connection to host : 127.0.0.1", "Error Connecting to : 127.0.0.1",
                            HasSubstr(std::to_string(port))));
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
}

} // namespace
