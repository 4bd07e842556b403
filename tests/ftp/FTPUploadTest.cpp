// "FTP Upload" against pyftpdlib and ProFTPD, and a refused folder against the line peer.
#include "PackageTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

std::string Quoted(const fs::path& path) {
    return "\"" + path.string() + "\"";
}

// One more action on "Site" whose protocol lines are logged, so that the commands sent can be read back.
std::string UploadStep(const std::string& type, const std::string& properties, bool ignoreFailure = false) {
    return SiteStep(type, R"("DetailedLogging":true)" + (properties.empty() ? "" : "," + properties),
                    ignoreFailure ? R"("ignoreFailure":true)" : "");
}

// The commands that create or change folders, in order.
std::vector<std::string> DirectoryCommands(const std::vector<std::string>& commands) {
    std::vector<std::string> result;
    for (const auto& c : commands) {
        std::string verb = c.substr(0, c.find(' '));
        if (verb == "CWD" || verb == "CDUP" || verb == "XCUP" || verb == "MKD" || verb == "XMKD")
            result.push_back(c);
    }
    return result;
}

class FTPUpload : public TFTPServerActionTest {
protected:
    void SetUp() override {
        TFTPServerActionTest::SetUp();
        FServer->MakeDir("start");
    }
    void Local(const std::string& relativePath, const std::string& content) {
        fs::create_directories((FLocal.Path() / relativePath).parent_path());
        WriteTextFile(FLocal.Path() / relativePath, content);
    }
    // Every file below the server's "start" as "path=content", sorted and separated by blanks.
    std::string RemoteTree() const {
        std::vector<std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(FServer->Home() / "start"))
            if (e.is_regular_file())
                files.push_back(fs::relative(e.path(), FServer->Home() / "start").string() + "=" +
                                ReadTextFile(e.path()));
        std::sort(files.begin(), files.end());
        return ::testing::PrintToString(files);
    }
    // Connects, enters "start" and records the server's name for it in Start; the upload steps follow,
    // then the server's folder is recorded in Here and the connection closed.
    std::string UploadProject(const std::string& steps) const {
        return Project(UploadStep("action.ftp.changedir", R"("RemoteDir":"start")") +
                       UploadStep("action.ftp.remotdir.get", R"("ZRVariable":"Start")") + steps +
                       UploadStep("action.ftp.remotdir.get", R"("ZRVariable":"Here")") +
                       UploadStep("action.ftp.disconnect", ""));
    }
    // The folder commands of the upload as the server received them: ProFTPD's own command log, else
    // the client's protocol log; the change into "start" left out.
    std::vector<std::string> UploadDirectoryCommands(const TPackageRun& run) const {
        auto all = DirectoryCommands(GetParam() == TFTPServerKind::skProFTPD ? FServer->LoggedCommands()
                                                                             : run.SentCommands());
        EXPECT_FALSE(all.empty());
        if (!all.empty())
            all.erase(all.begin());
        return all;
    }
    TTempDir FLocal{"quillate-upload"};
};

// Folders are created parents first (an existing one is entered), one file takes the remote name and
// its missing folder, and the server ends where it started.
TEST_P(FTPUpload, TheLocalTreeIsRebuiltBelowTheServersFolder) {
    struct TCase {
        const char* Name;
        std::vector<std::pair<std::string, std::string>> LocalFiles, ServerFiles;
        std::string Properties;
        std::vector<std::string> Lines, Commands; // "CWD $" goes back to the starting folder
        std::string Tree;
    } cases[] = {
        {"two folders, one change each",
         {{"a/1.txt", "one"}, {"a/2.txt", "two"}, {"b/3.txt", "three"}, {"notes.log", "not matched"}},
         {},
         R"("FileSpec":"*.txt","Recursive":true,"RemoteFile":"x.txt")",
         {"Total upload size will be 11 bytes",
          "Remote filename ignored since multiple files will be uploaded", "Uploading files...",
          "Successfully uploaded 3 items."},
         {"MKD a", "CWD a", "CDUP", "MKD b", "CWD b", "CWD $", "CWD $"},
         R"({ "a/1.txt=one", "a/2.txt=two", "b/3.txt=three" })"},
        // Sorted, the top folder's own file goes before the sub-folder the walk found first; the two
        // folders are items of their own.
        {"nested folders, one there already",
         {{"top.txt", "top"}, {"sub/b.txt", "middle"}, {"sub/deeper/c.txt", "bottom"}},
         {{"sub/b.txt", "old content"}},
         R"("FileSpec":"*","Recursive":true)",
         {"Total upload size will be 15 bytes", "Uploading files...", "Successfully uploaded 5 items."},
         {"MKD sub", "CWD sub", "MKD deeper", "CWD deeper", "CWD $", "CWD $"},
         R"({ "sub/b.txt=middle", "sub/deeper/c.txt=bottom", "top.txt=top" })"},
        // The mask's sub-folder (written with a backslash) moves into the local directory.
        {"one file renamed",
         {{"sub/b.txt", "renamed"}, {"sub/other.txt", "not matched"}},
         {},
         R"("FileSpec":"sub\\b.txt","RemoteFile":"  in/new.txt ")",
         {"Total upload size will be 7 bytes"},
         {"MKD in", "CWD in", "CWD $"},
         R"({ "in/new.txt=renamed" })"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const TCase& c = cases[i];
        SCOPED_TRACE(c.Name);
        if (i > 0)
            SetUp(); // a fresh server, so that every case starts from an empty "start"
        const std::string dir = "case" + std::to_string(i);
        for (const auto& [path, content] : c.LocalFiles)
            Local(dir + "/" + path, content);
        for (const auto& [path, content] : c.ServerFiles)
            FServer->PutFile("start/" + path, content);
        TPackageRun run;
        run.Run(UploadProject(UploadStep(
            "action.ftp.upload.file", R"("LocalDir":)" + Quoted(FLocal.Path() / dir) + "," + c.Properties)));
        ASSERT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(run.Log.Texts());
        EXPECT_THAT(run.UploadLines(), ElementsAreArray(c.Lines));
        std::string start = run.Variables.Get("Start").value_or("?");
        std::vector<std::string> commands = c.Commands;
        for (auto& command : commands)
            if (command == "CWD $")
                command = "CWD " + start;
        EXPECT_THAT(UploadDirectoryCommands(run), ElementsAreArray(commands));
        EXPECT_EQ(run.Variables.Get("Here"), start);
        EXPECT_EQ(RemoteTree(), c.Tree);
        // One PWD for each "Get Remote Directory" step and one for the whole upload.
        auto sent = run.SentCommands();
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "PWD"), 3);
        // The speed line before the first file; later lines only once a second, so a quick run has few.
        auto progress = run.ProgressLines();
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front().Text, "Upload speed : 0.00 KB/s");
    }
}

TEST_P(FTPUpload, AFileSetKeepsItsFoldersAndAMissingOneFails) {
    Local("site/index.md", "home");
    Local("site/guide/intro.md", "first steps");
    Local("site/guide/draft.txt", "not in the set");
    std::string fileSets = R"("fileSets":[{"name":"Docs","baseDirectory":)" + Quoted(FLocal.Path() / "site") +
                           R"(,"include":["*.md"],"recursive":true}],)";
    std::string project = UploadProject(
        UploadStep("action.ftp.upload.file", R"("UseFileSpec":false,"FileSetName":"Docs")") +
        UploadStep("action.ftp.upload.file", R"("UseFileSpec":false,"FileSetName":"Nope")", true));
    TPackageRun run;
    run.Run("{" + fileSets + project.substr(1));

    EXPECT_EQ(run.ActionsFailed, 1);
    EXPECT_THAT(run.UploadLines("FTP Upload [ Site ] [ Docs ]"),
                ElementsAre("Total upload size will be 15 bytes", "Uploading files...",
                            "Successfully uploaded 2 items."));
    EXPECT_THAT(run.UploadLines("FTP Upload [ Site ] [ Nope ]"),
                ElementsAre("Could not find File Set: Nope"));
    EXPECT_EQ(RemoteTree(), R"({ "guide/intro.md=first steps", "index.md=home" })");
    EXPECT_EQ(run.Variables.Get("Here"), run.Variables.Get("Start"));
}

TEST_P(FTPUpload, FailuresNameTheirCause) {
    Local("a.txt", "a");
    TPackageRun run;
    std::string local = Quoted(FLocal.Path());
    run.Run(UploadProject(
        UploadStep("action.ftp.upload.file", R"("LocalDir":)" + local + R"(,"FileSpec":"*.none")", true) +
        UploadStep("action.ftp.upload.file",
                   R"("LocalDir":)" + Quoted(FLocal.Path() / "gone") + R"(,"FileSpec":"*.txt")", true) +
        UploadStep("action.ftp.upload.file", R"("LocalDir":)" + local + R"(,"FileSpec":"%Undefined%")",
                   true)));

    EXPECT_EQ(run.ActionsFailed, 3);
    EXPECT_THAT(run.UploadLines("FTP Upload [ Site ] [ *.none ]"),
                ElementsAre("Upload failed.", "File *.none not found!"));
    // The walk that failed reports how far it got.
    EXPECT_THAT(run.UploadLines("FTP Upload [ Site ] [ *.txt ]"),
                ElementsAre("List Size: 0", "Upload failed.", HasSubstr("gone")));
    // A failed expansion is reported by the host alone.
    EXPECT_THAT(run.UploadLines("FTP Upload [ Site ] [ %Undefined% ]"),
                ElementsAre(::testing::AllOf(HasSubstr("Filespec"), HasSubstr("Undefined"))));
    EXPECT_EQ(run.Variables.Get("Here"), run.Variables.Get("Start"));
}

TEST_P(FTPUpload, AStopBetweenFilesEndsTheUploadWhereItIs) {
    Local("a/1.txt", "one");
    Local("a/2.txt", "two");
    Local("b/3.txt", "three");
    EnsurePackageRegistered();
    TProject project = TProject::Parse(
        UploadProject(UploadStep("action.ftp.upload.file", R"("LocalDir":)" + Quoted(FLocal.Path()) +
                                                               R"(,"FileSpec":"*.txt","Recursive":true)")),
        "stop.json");
    // Terminating would also abort the transfer in flight; with the stop signal alone the upload ends at
    // its next check between files, which is the case under test. The first completed transfer stops it.
    for (auto& action : project.Actions)
        action->SetCanTerminate(false);
    TPackageRun run;
    bool stopped = false;
    run.OnLine = [&stopped](const TLogEntry& entry, TRunner& runner) {
        if (!stopped && entry.Text.rfind("Recv: ", 0) == 0 &&
            entry.Text.find(" : 226") != std::string::npos) {
            stopped = true;
            runner.RequestStop();
        }
    };
    run.Run(project);

    EXPECT_EQ(run.Outcome, TRunOutcome::Stopped);
    EXPECT_EQ(run.ActionsFailed, 0);
    EXPECT_THAT(run.UploadLines(), ElementsAre("Total upload size will be 11 bytes", "Uploading files...",
                                               "User aborted operation. Stopping..."));
    EXPECT_THAT(DirectoryCommands(run.SentCommands()), ElementsAre("CWD start", "MKD a", "CWD a"));
    EXPECT_EQ(RemoteTree(), R"({ "a/1.txt=one" })");
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPUpload, AllFTPServers, ServerName);

TEST(FTPUploadScripted, ARefusedFolderFailsTheUploadAndTheServerIsSentBack) {
    TLinePeer peer({FTPLogin()
                        .Reply("PWD", "257 \"/\" is the current directory")
                        .Reply("MKD in", "553 Requested action not taken.")
                        .Reply("CWD /", "250 ok")
                        .Reply("QUIT", "221 bye")});
    TTempDir local("quillate-upload");
    WriteTextFile(local.Path() / "a.txt", "hello");
    TPackageRun run;
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
