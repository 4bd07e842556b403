// "FTP Script" where a case of tests/data/ftp cannot reach: the global options and a stop.
#include "PackageTestSupport.h"
#include "ftp/ZRFTPOptions.h"
#include "ftp/script/ZRFTPScriptAction.h"
#include "host/CryptoUtils.h"
#include "host/Options.h"
#include "mail/ZREmailOptions.h"
#include "package/ZRInternetReg.h"

#include <filesystem>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

// A project of one "FTP Script" with these properties and steps (JSON members and array elements).
std::string ScriptProject(const std::string& properties, const std::string& steps) {
    return fmt::format(
        R"({{"actions":[{{"type":"action.ftp.script","properties":{{{}}},"children":[{}]}}]}})", properties,
        steps);
}

class FTPScriptAction : public ::testing::Test {
protected:
    void SetUp() override { FServer.Start(); }
    TFTPTestServer FServer{TFTPServerKind::skPyftpdlib};
    TTempDir FLocal{"quillate-script-local"};
};

TEST_F(FTPScriptAction, GlobalOptionsSupplyTheServerAndTheLogMasksThePassword) {
    struct TOwnStore {
        explicit TOwnStore(const fs::path& path) {
            OptionsService().Reset(path);
            zr::RegisterProtocolOptions(zr::FTPProtocol());
        }
        ~TOwnStore() {
            OptionsService().Reset();
            zr::RegisterProtocolOptions(zr::EmailProtocol());
            zr::RegisterProtocolOptions(zr::FTPProtocol());
        }
    } store(FLocal.Path() / "options.json");
    auto global = zr::FTPOptions();
    global->SetFTPServer("127.0.0.1");
    global->SetFTPPort(FServer.Port());
    global->SetFTPUser(TFTPTestServer::User);
    global->SetFTPPassword(TFTPTestServer::Password);

    TPackageRun run;
    auto lines = run.Run(ScriptProject(R"("Host":"own.invalid","Port":1,"UserID":"nobody","Passive":true,)"
                                       R"("DetailedLogging":true,"UseGlobalOptions":true)",
                                       R"({"type":"ftp.script.changeup"})"));
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
    std::string peer = fmt::format("127.0.0.1:{} : ", FServer.Port());
    EXPECT_THAT(lines, ::testing::IsSupersetOf(
                           {peer + "USER tester", peer + "pass xxx", peer + "CDUP", peer + "QUIT"}));
    EXPECT_FALSE(run.AnyLineContains(TFTPTestServer::Password));
}

// The stop lands between two uploads of a mask or inside one; either way nothing after it runs.
TEST_F(FTPScriptAction, AStopEndsTheScriptAndStillDisconnects) {
    constexpr int Files = 40;
    for (int i = 0; i < Files; ++i)
        WriteTextFile(FLocal.Path() / ("f" + std::to_string(100 + i) + ".bin"), std::string(16 * 1024, 'x'));
    TPackageRun run;
    auto lines = run.Run(
        ScriptProject(
            fmt::format(
                R"("Host":"127.0.0.1","Port":{},"UserID":"{}","Passive":true,"EncryptedPassword":"{}")",
                FServer.Port(), TFTPTestServer::User,
                EncryptString(TFTPTestServer::Password, zr::TFTPAction::PasswordKey)),
            R"({"type":"ftp.script.uploadfile","properties":{"IgnoreError":true,"LocalFile":")" +
                FLocal.Path().string() +
                R"(/*.bin"}},{"type":"ftp.script.makedir","properties":{"RemoteDir":"after"}})"),
        [&run](TRunner&, TProject& project) {
            while (!run.Finished && !run.Log.Contains("File Uploaded : 16384 bytes"))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            project.Actions.at(0)->TerminateAction();
        });
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    EXPECT_THAT(lines, Contains("User Aborted Action!"));
    EXPECT_THAT(lines, Not(Contains("Creating Directory : after")));
    EXPECT_EQ(lines.back(), "Disconnected!");
    EXPECT_LT(std::distance(fs::directory_iterator(FServer.Home()), fs::directory_iterator()), Files);
}

} // namespace
