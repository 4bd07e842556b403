// "FTP Upload" against pyftpdlib and ProFTPD, and a refused folder against the line peer.
#include <algorithm>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FTPUploadRun.h"

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

std::string Quoted(const fs::path& path) { return "\"" + path.string() + "\""; }

class FTPUpload : public ::testing::TestWithParam<TFTPServerKind> {
protected:
    void SetUp() override {
        FServer = std::make_unique<TFTPTestServer>(GetParam());
        FServer->MakeDir("start");
        FServer->Start();
    }
    void Local(const std::string& relativePath, const std::string& content) {
        fs::create_directories((FLocal.Path() / relativePath).parent_path());
        WriteTextFile(FLocal.Path() / relativePath, content);
    }
    std::string Remote(const std::string& relativePath) const {
        fs::path path = FServer->Home() / relativePath;
        return fs::exists(path) ? ReadTextFile(path) : "<missing>";
    }
    // Connects, enters "start" and records the server's name for it in Start; the upload steps follow,
    // then the server's folder is recorded in Here and the connection closed.
    std::string Project(const std::string& steps) const {
        return R"({"actions":[)" + SiteConnectJson(FServer->Port()) + UploadStep("action.ftp.changedir", R"("RemoteDir":"start")") +
               UploadStep("action.ftp.remotdir.get", R"("ZRVariable":"Start")") + steps +
               UploadStep("action.ftp.remotdir.get", R"("ZRVariable":"Here")") + UploadStep("action.ftp.disconnect", "") +
               "]}";
    }
    // The folder commands of the upload as the server received them: ProFTPD's own command log, else
    // the client's protocol log.
    std::vector<std::string> UploadDirectoryCommands(const TUploadRun& run) const {
        auto all = DirectoryCommands(GetParam() == TFTPServerKind::skProFTPD ? FServer->LoggedCommands()
                                                                              : run.SentCommands());
        EXPECT_FALSE(all.empty());
        if (!all.empty())
            all.erase(all.begin()); // the change into "start"
        return all;
    }

    std::unique_ptr<TFTPTestServer> FServer;
    TTempDir FLocal{"quillate-upload"};
};

TEST_P(FTPUpload, MaskedFilesOfTwoFoldersMoveTheServerTwiceAndEndWhereItStarted) {
    Local("a/1.txt", "one");
    Local("a/2.txt", "two");
    Local("b/3.txt", "three");
    Local("notes.log", "not matched");
    TUploadRun run;
    run.Run(Project(UploadStep("action.ftp.upload.file", R"("LocalDir":)" + Quoted(FLocal.Path()) +
                                                             R"(,"FileSpec":"*.txt","Recursive":true,"RemoteFile":"x.txt")")));

    ASSERT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(run.Log.Texts());
    EXPECT_THAT(run.UploadLines(), ElementsAre("Total upload size will be 11 bytes",
                                               "Remote filename ignored since multiple files will be uploaded",
                                               "Uploading files...", "Successfully uploaded 3 items."));
    std::string start = run.Variables.Get("Start").value_or("?");
    EXPECT_THAT(UploadDirectoryCommands(run),
                ElementsAre("MKD a", "CWD a", "CDUP", "MKD b", "CWD b", "CWD " + start, "CWD " + start));
    // One PWD for each "Get Remote Directory" step and one for the whole upload.
    auto sent = run.SentCommands();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "PWD"), 3) << ::testing::PrintToString(sent);
    EXPECT_EQ(run.Variables.Get("Here"), start);
    EXPECT_EQ(Remote("start/a/1.txt"), "one");
    EXPECT_EQ(Remote("start/a/2.txt"), "two");
    EXPECT_EQ(Remote("start/b/3.txt"), "three");
    EXPECT_FALSE(fs::exists(FServer->Home() / "start/notes.log"));
    EXPECT_FALSE(fs::exists(FServer->Home() / "start/x.txt"));
    // The speed line before the first file; later lines only once a second, so a quick run has few.
    auto progress = run.ProgressLines();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front().Text, "Upload speed : 0.00 KB/s");
    EXPECT_EQ(progress.front().Percent, 0);
}

TEST_P(FTPUpload, NestedFoldersAreCreatedParentsFirstAndAnExistingOneIsEntered) {
    // Sorted, the top folder's own file goes before the sub-folder that the walk found first.
    Local("top.txt", "top");
    Local("sub/b.txt", "middle");
    Local("sub/deeper/c.txt", "bottom");
    FServer->MakeDir("start/sub");
    FServer->PutFile("start/sub/b.txt", "old content");
    TUploadRun run;
    run.Run(Project(UploadStep("action.ftp.upload.file",
                               R"("LocalDir":)" + Quoted(FLocal.Path()) + R"(,"FileSpec":"*","Recursive":true)")));

    ASSERT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(run.Log.Texts());
    // The two folders are items of their own: five in all.
    EXPECT_THAT(run.UploadLines(), ElementsAre("Total upload size will be 15 bytes", "Uploading files...",
                                               "Successfully uploaded 5 items."));
    std::string start = run.Variables.Get("Start").value_or("?");
    EXPECT_THAT(UploadDirectoryCommands(run), ElementsAre("MKD sub", "CWD sub", "MKD deeper", "CWD deeper",
                                                          "CWD " + start, "CWD " + start));
    EXPECT_EQ(run.Variables.Get("Here"), start);
    EXPECT_EQ(Remote("start/top.txt"), "top");
    EXPECT_EQ(Remote("start/sub/b.txt"), "middle");
    EXPECT_EQ(Remote("start/sub/deeper/c.txt"), "bottom");
}

TEST_P(FTPUpload, OneFileTakesTheRemoteNameAndItsMissingFolder) {
    Local("sub/b.txt", "renamed");
    Local("sub/other.txt", "not matched");
    TUploadRun run;
    // The mask's sub-folder (written with a backslash) moves into the local directory.
    run.Run(Project(UploadStep("action.ftp.upload.file", R"("LocalDir":)" + Quoted(FLocal.Path()) +
                                                             R"(,"FileSpec":"sub\\b.txt","RemoteFile":"  in/new.txt ")")));

    ASSERT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(run.Log.Texts());
    EXPECT_THAT(run.UploadLines(), ElementsAre("Total upload size will be 7 bytes"));
    std::string start = run.Variables.Get("Start").value_or("?");
    EXPECT_THAT(UploadDirectoryCommands(run), ElementsAre("MKD in", "CWD in", "CWD " + start));
    EXPECT_EQ(run.Variables.Get("Here"), start);
    EXPECT_EQ(Remote("start/in/new.txt"), "renamed");
    EXPECT_FALSE(fs::exists(FServer->Home() / "start/in/other.txt"));
}

TEST_P(FTPUpload, AFileSetKeepsItsFoldersAndAMissingOneFails) {
    Local("site/index.md", "home");
    Local("site/guide/intro.md", "first steps");
    Local("site/guide/draft.txt", "not in the set");
    std::string fileSets = R"("fileSets":[{"name":"Docs","baseDirectory":)" + Quoted(FLocal.Path() / "site") +
                           R"(,"include":["*.md"],"recursive":true}],)";
    std::string project = Project(UploadStep("action.ftp.upload.file", R"("UseFileSpec":false,"FileSetName":"Docs")") +
                                  UploadStep("action.ftp.upload.file", R"("UseFileSpec":false,"FileSetName":"Nope")", true));
    TUploadRun run;
    run.Run("{" + fileSets + project.substr(1));

    EXPECT_EQ(run.ActionsFailed, 1);
    EXPECT_THAT(run.UploadLines("FTP Upload [ Site ] [ Docs ]"),
                ElementsAre("Total upload size will be 15 bytes", "Uploading files...", "Successfully uploaded 2 items."));
    EXPECT_THAT(run.UploadLines("FTP Upload [ Site ] [ Nope ]"), ElementsAre("Could not find File Set: Nope"));
    EXPECT_EQ(Remote("start/index.md"), "home");
    EXPECT_EQ(Remote("start/guide/intro.md"), "first steps");
    EXPECT_FALSE(fs::exists(FServer->Home() / "start/guide/draft.txt"));
    EXPECT_EQ(run.Variables.Get("Here"), run.Variables.Get("Start"));
}

TEST_P(FTPUpload, FailuresNameTheirCause) {
    Local("a.txt", "a");
    TUploadRun run;
    std::string local = Quoted(FLocal.Path());
    run.Run(Project(
        UploadStep("action.ftp.upload.file", R"("LocalDir":)" + local + R"(,"FileSpec":"*.none")", true) +
        UploadStep("action.ftp.upload.file", R"("LocalDir":)" + Quoted(FLocal.Path() / "gone") + R"(,"FileSpec":"*.txt")",
                   true) +
        UploadStep("action.ftp.upload.file", R"("LocalDir":)" + local + R"(,"FileSpec":"%Undefined%")", true)));

    EXPECT_EQ(run.ActionsFailed, 3);
    EXPECT_THAT(run.UploadLines("FTP Upload [ Site ] [ *.none ]"), ElementsAre("Upload failed.", "File *.none not found!"));
    // The walk that failed reports how far it got.
    auto missingFolder = run.UploadLines("FTP Upload [ Site ] [ *.txt ]");
    ASSERT_EQ(missingFolder.size(), 3u) << ::testing::PrintToString(missingFolder);
    EXPECT_EQ(missingFolder[0], "List Size: 0");
    EXPECT_EQ(missingFolder[1], "Upload failed.");
    EXPECT_THAT(missingFolder[2], HasSubstr("gone"));
    // A failed expansion is reported by the host alone.
    EXPECT_THAT(run.UploadLines("FTP Upload [ Site ] [ %Undefined% ]"),
                ElementsAre(::testing::AllOf(HasSubstr("Filespec"), HasSubstr("Undefined"))));
    EXPECT_EQ(run.Variables.Get("Here"), run.Variables.Get("Start"));
}

TEST_P(FTPUpload, AStopBetweenFilesEndsTheUploadWhereItIs) {
    Local("a/1.txt", "one");
    Local("a/2.txt", "two");
    Local("b/3.txt", "three");
    TUploadRun run;
    // Terminating would also abort the transfer in flight; with the stop signal alone the upload ends at
    // its next check between files, which is the case under test. The first completed transfer stops it.
    run.Prepare = [](TProject& project) {
        for (auto& action : project.Actions)
            action->SetCanTerminate(false);
    };
    bool stopped = false;
    run.OnLine = [&stopped](const TLogEntry& entry, TRunner& runner) {
        if (!stopped && entry.Text.rfind("Recv: ", 0) == 0 && entry.Text.find(" : 226") != std::string::npos) {
            stopped = true;
            runner.RequestStop();
        }
    };
    run.Run(Project(UploadStep("action.ftp.upload.file",
                               R"("LocalDir":)" + Quoted(FLocal.Path()) + R"(,"FileSpec":"*.txt","Recursive":true)")));

    EXPECT_EQ(run.Outcome, TRunOutcome::Stopped);
    EXPECT_EQ(run.ActionsFailed, 0);
    EXPECT_THAT(run.UploadLines(), ElementsAre("Total upload size will be 11 bytes", "Uploading files...",
                                               "User aborted operation. Stopping..."));
    auto sent = DirectoryCommands(run.SentCommands());
    EXPECT_THAT(sent, ElementsAre("CWD start", "MKD a", "CWD a"));
    EXPECT_EQ(Remote("start/a/1.txt"), "one");
    EXPECT_FALSE(fs::exists(FServer->Home() / "start/a/2.txt"));
    EXPECT_FALSE(fs::exists(FServer->Home() / "start/b"));
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPUpload, ::testing::Values(TFTPServerKind::skPyftpdlib, TFTPServerKind::skProFTPD),
                         [](const auto& info) { return KindName(info.param); });

TEST(FTPUploadScripted, ARefusedFolderFailsTheUploadAndTheServerIsSentBack) {
    TLinePeer peer({FTPLogin()
                        .Reply("PWD", "257 \"/\" is the current directory")
                        .Reply("MKD in", "553 Requested action not taken.")
                        .Reply("CWD /", "250 ok")
                        .Reply("QUIT", "221 bye")});
    TTempDir local("quillate-upload");
    WriteTextFile(local.Path() / "a.txt", "hello");
    TUploadRun run;
    run.Run(R"({"actions":[)" + SiteConnectJson(peer.Port()) +
            R"(,{"type":"action.ftp.upload.file","ignoreFailure":true,"properties":{"ConnectionName":"Site","LocalDir":)" +
            Quoted(local.Path()) + R"(,"FileSpec":"a.txt","RemoteFile":"in/a.txt"}})" +
            R"(,{"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]})");

    EXPECT_EQ(run.ActionsFailed, 1);
    auto lines = run.UploadLines();
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Total upload size will be 5 bytes");
    EXPECT_EQ(lines[1], "Upload failed.");
    EXPECT_THAT(lines[2], HasSubstr("553"));
}

} // namespace
