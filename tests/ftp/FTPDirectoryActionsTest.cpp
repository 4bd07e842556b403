#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

// An action of the family on the connection "Site", failures ignored so that every step reports.
std::string Step(const std::string& type, const std::string& properties = {}) {
    return SiteStep(type, properties, R"("ignoreFailure":true)");
}

using FTPDirectoryActions = TFTPServerActionTest;

TEST_P(FTPDirectoryActions, EachOperationReportsItsOwnLines) {
    FServer->PutFile("docs/report.txt", "twelve bytes");
    FServer->PutFile("docs/empty.txt", "");
    TTempDir local("quillate-local");
    WriteTextFile(local.Path() / "report.txt", "local twin");
    WriteTextFile(local.Path() / "empty.txt", "");
    // The size action checks the name as a local file too, relative to the working folder.
    struct TWorkingFolder {
        fs::path Saved = fs::current_path();
        ~TWorkingFolder() { fs::current_path(Saved); }
    } restore;
    fs::current_path(local.Path());

    TPackageRun run;
    auto lines = run.Run(
        Project(Step("action.ftp.dir.create", R"("NewDirectory":"new")") +
                Step("action.ftp.dir.create", R"("NewDirectory":"new")") +
                Step("action.ftp.dir.create", R"("NewDirectory":"new","NoFailIfDirExists":true)") +
                Step("action.ftp.changedir", R"("RemoteDir":"docs")") +
                Step("action.ftp.remotdir.get", R"("ZRVariable":"Here")") +
                Step("action.ftp.file.getsize", R"("FileName":"report.txt","ZRVariable":"Size")") +
                Step("action.ftp.file.getsize", R"("FileName":"empty.txt")") +
                Step("action.ftp.file.getsize", R"("FileName":"nowhere.txt")") +
                Step("action.ftp.dir.list", R"("ZRVariable":"Listing")") +
                Step("action.ftp.file.rename", R"("FileName":"report.txt","NewName":"final.txt")") +
                Step("action.ftp.file.delete", R"("FileName":"empty.txt")") +
                Step("action.ftp.file.delete", R"("FileName":"empty.txt")") + Step("action.ftp.changeup") +
                Step("action.ftp.noop") + Step("action.ftp.dir.delete", R"("Directory":"new")")));
    EXPECT_THAT(lines, Contains("New directory created: new"));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Directory already exists"), 2);
    EXPECT_THAT(lines, Contains("Changed directory to docs"));
    EXPECT_THAT(lines, Contains("Remote directory is /docs"));
    EXPECT_EQ(run.Variables.Get("Here"), "/docs");
    EXPECT_THAT(lines, Contains("report.txt is 12 bytes"));
    EXPECT_EQ(run.Variables.Get("Size"), "12");
    EXPECT_THAT(lines, Not(Contains(HasSubstr("empty.txt is"))));
    EXPECT_THAT(lines, Contains("File does not exist: nowhere.txt"));
    EXPECT_THAT(run.Variables.Get("Listing").value_or(""), HasSubstr("report.txt"));
    EXPECT_THAT(lines, Contains("File Renamed from report.txt to final.txt"));
    EXPECT_THAT(lines, Contains("File deleted: empty.txt"));
    EXPECT_THAT(lines, Contains("File deletion failed: empty.txt"));
    EXPECT_THAT(lines, Contains("Changed up a directory"));
    EXPECT_THAT(lines, Contains("NOOP"));
    EXPECT_THAT(lines, Contains("Directory Deleted: new"));
    EXPECT_TRUE(fs::exists(FServer->Home() / "docs/final.txt"));
    EXPECT_FALSE(fs::exists(FServer->Home() / "docs/empty.txt"));
    EXPECT_FALSE(fs::exists(FServer->Home() / "new"));
    // Four steps fail by design: the second create, the empty and the missing size and the second delete;
    // each failure is ignored, so the run goes on to the end.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Failure ignored, the run goes on"), 4);
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
}

// "200,250": a reply with any code of the list is accepted; another fails naming the command and the reply.
TEST_P(FTPDirectoryActions, SendCommandAcceptsEveryCodeOfItsList) {
    FServer->MakeDir("docs");
    TPackageRun run;
    run.Run(Project(SiteStep("action.ftp.sendcmd", R"("TheCMD":"CWD docs","ResponseCode":"200,250")",
                             R"("description":"accepted")") +
                    SiteStep("action.ftp.sendcmd", R"("TheCMD":"PWD","ResponseCode":"200,250")",
                             R"("description":"refused")")));
    EXPECT_EQ(run.ActionsFailed, 1);
    EXPECT_THAT(run.LinesOf("accepted"),
                ElementsAre("Sending command: CWD docs", ::testing::StartsWith("Response: 250\r\n")));
    auto refused = run.LinesOf("refused");
    ASSERT_EQ(refused.size(), 4u) << ::testing::PrintToString(refused);
    EXPECT_EQ(refused[1], "Send command failed.");
    EXPECT_EQ(refused[2], "Error code: 257");
    EXPECT_THAT(refused[3], ::testing::AllOf(::testing::StartsWith("PWD on "), HasSubstr("257 \"/docs\"")));
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPDirectoryActions, AllFTPServers, ServerName);

TEST(FTPDirectoryActionsScripted, ARefusedCreateFailsWithoutALineOfItsOwn) {
    TLinePeer peer({FTPLogin().Reply("MKD x", "553 Requested action not taken.")});
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[)" + SiteConnectJson(peer.Port()) + R"(,
        {"type":"action.ftp.dir.create","properties":{"ConnectionName":"Site","NewDirectory":"x"}}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    EXPECT_THAT(lines, ::testing::ElementsAre("Connection to host : 127.0.0.1"));
}

} // namespace
