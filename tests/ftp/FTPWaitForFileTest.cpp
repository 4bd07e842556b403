// "FTP Wait For File" while the file changes under it; its failures are cases of tests/data/ftp.
#include "PackageTestSupport.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

using FTPWaitForFile = TFTPServerActionTest;

// The wait ends only after the last change; a file that grows faster than the polls (every second)
// come has stopped changing only once two polls agree.
TEST_P(FTPWaitForFile, EachConditionEndsTheWaitOnceTheFileGetsThere) {
    struct TCase {
        const char* Type;
        const char* Initial; // nullptr: no file at the start
        const char* Goal;
        int DelayMs;
        int Changes;        // each writes Change and one more byte after DelayMs
        const char* Change; // nullptr: delete the file
        const char* ConditionLine;
    } cases[] = {
        {"wfFileExists", nullptr, "exist.", 3000, 1, "arrived", nullptr},
        {"wfFileDoesntExist", "here", "not exist.", 1500, 1, nullptr, nullptr},
        {"wfFileChanged", "v1", "change.", 1500, 1, "version 2", "File has changed."},
        {"wfFileChanged", nullptr, "change.", 1500, 1, "created", "File has changed."},
        {"wfFileStoppedChanging", "start", "stop changing.", 200, 15, "growing",
         "File has stopped changing."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Type) + (c.Initial ? " from a file" : " from nothing"));
        fs::remove(FServer->Home() / "watched.txt");
        if (c.Initial)
            FServer->PutFile("watched.txt", c.Initial);
        const std::string waiting = std::string("Waiting for file watched.txt to ") + c.Goal;
        Clock::time_point changedAt{};
        TPackageRun run;
        run.Run(Project(SiteStep("action.ftp.waitforfile",
                                 std::string(R"("PollFreq":1,"WaitTimeout":30,"WaitType":")") + c.Type +
                                     R"(","FileName":"watched.txt")")),
                [&](TRunner&, TProject&) {
                    if (!run.WaitForLine(waiting, std::chrono::seconds(10)))
                        return;
                    for (int i = 0; i < c.Changes; ++i) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(c.DelayMs));
                        if (c.Change)
                            FServer->PutFile("watched.txt",
                                             c.Change + std::string(static_cast<std::size_t>(i), '+'));
                        else
                            fs::remove(FServer->Home() / "watched.txt");
                    }
                    changedAt = Clock::now();
                });
        EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
        EXPECT_EQ(run.Outstanding, 0);
        EXPECT_GE(run.Log.Entries().back().Time, changedAt);
        if (c.ConditionLine) {
            EXPECT_THAT(run.Lines(), ::testing::Contains(c.ConditionLine));
        }
        auto progress = run.ProgressLines();
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front().Text, waiting);
        EXPECT_EQ(progress.front().Percent, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPWaitForFile, AllFTPServers, ServerName);

} // namespace
