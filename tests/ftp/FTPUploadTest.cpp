// "FTP Upload" stopped between files; what it uploads and how it fails are cases of tests/data/ftp.
#include "PackageTestSupport.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

namespace {

using FTPUpload = TFTPServerActionTest;

TEST_P(FTPUpload, AStopBetweenFilesEndsTheUploadWhereItIs) {
    TTempDir local("quillate-upload");
    for (const char* file : {"a/1.txt", "a/2.txt", "b/3.txt"}) {
        fs::create_directories((local.Path() / file).parent_path());
        WriteTextFile(local.Path() / file, file);
    }
    EnsurePackageRegistered();
    TProject project = TProject::Parse(
        Project(SiteStep("action.ftp.upload.file", R"("DetailedLogging":true,"LocalDir":")" + local.Path().string() +
                                                       R"(","FileSpec":"*.txt","Recursive":true)")),
        "stop.json");
    // Terminating would also abort the transfer in flight; with the stop signal alone the upload ends at
    // its next check between files, which is the case under test. The first completed transfer stops it.
    for (auto& action : project.Actions)
        action->SetCanTerminate(false);
    TPackageRun run;
    bool stopped = false;
    run.OnLine = [&stopped](const TLogEntry& entry, TRunner& runner) {
        if (!stopped && entry.Text.starts_with("Recv: ") && entry.Text.find(" : 226") != std::string::npos) {
            stopped = true;
            runner.RequestStop();
        }
    };
    run.Run(project);

    EXPECT_EQ(run.Outcome, TRunOutcome::Stopped);
    EXPECT_EQ(run.ActionsFailed, 0);
    EXPECT_THAT(run.UploadLines(), ElementsAre("Total upload size will be 21 bytes", "Uploading files...",
                                               "User aborted operation. Stopping..."));
    auto sent = run.SentCommands();
    std::erase_if(sent, [](const std::string& c) { return !c.starts_with("MKD") && !c.starts_with("STOR"); });
    EXPECT_THAT(sent, ElementsAre("MKD a", "STOR 1.txt"));
    EXPECT_EQ(ReadTextFile(FServer->Home() / "a/1.txt"), "a/1.txt");
    EXPECT_FALSE(fs::exists(FServer->Home() / "a/2.txt"));
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPUpload, AllFTPServers, ServerName);

} // namespace
