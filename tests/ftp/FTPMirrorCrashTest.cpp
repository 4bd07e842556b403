// A mirror up killed at a random moment, then run again to its end, against a real server: the
// server ends with the local tree byte for byte and nothing else.
#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <thread>

using namespace quillate::testing;
namespace fs = std::filesystem;

namespace {

// Every regular file below root, by its path below it.
std::map<std::string, std::string> Files(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files.emplace(entry.path().lexically_relative(root).generic_string(), ReadTextFile(entry.path()));
    return files;
}

// The date comparison alone, and dates mirrored: a file cut short under its final name would be taken
// for up to date, as it is newer than its source. Odd rounds run with the defaults (extra connections),
// even ones on one connection.
TEST(FTPMirrorKilled, TheNextRunLeavesTheServerWithTheWholeTree) {
    TFTPTestServer server(TFTPServerKind::skProFTPD);
    // Slow enough that a transfer is under way at most moments of a run.
    server.SetReadLimit(4 << 20);
    server.Start();
    TTempDir dir("quillate-killed");
    const fs::path local = dir.Path() / "tree";
    std::mt19937 random(std::random_device{}());
    for (int i = 0; i < 40; ++i) {
        std::string content(std::uniform_int_distribution<std::size_t>(20000, 200000)(random), '\0');
        for (char& c : content)
            c = static_cast<char>(random());
        WriteFileIn(local / ("d" + std::to_string(i % 4)) / ("f" + std::to_string(i) + ".bin"), content);
    }
    const auto expected = Files(local);
    // The options store of the runs stays in the test's folder.
    const std::vector<std::pair<std::string, std::string>> environment = {
        {"HOME", dir.Path().string()}, {"XDG_CONFIG_HOME", (dir.Path() / "config").string()}};
    auto start = [&](TServerProcess& process, int round, const std::string& output) {
        const fs::path project = dir.Path() / "project.json";
        WriteTextFile(project, R"({"actions":[)" + SiteConnectJson(server.Port()) + R"(,
            {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
                                   local.string() + R"(","Recursive":true,"CheckFileDate":true,"MirrorDateTime":true,
              "SkipSkewCheck":true,"LogFiles":true,"ParallelTransfers":)" +
                                   std::to_string(round % 2 == 1 ? 0 : 1) + "}}]}");
        process.Start({.Argv = {QUILLATE_BINARY, "run", project.string()},
                       .Environment = environment,
                       .LogFile = dir.Path() / output});
    };
    int leftBehind = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (const auto& entry : fs::directory_iterator(server.Home()))
            fs::remove_all(entry.path());
        {
            TServerProcess killed;
            fs::remove(dir.Path() / "killed.log");
            start(killed, round, "killed.log");
            // Killed while it uploads (or, now and then, a little after it ended).
            for (int poll = 0; poll < 500; ++poll) {
                if (ReadTextFile(dir.Path() / "killed.log").find("Uploading Files...") != std::string::npos)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 400)(random)));
            killed.Signal(SIGKILL);
            killed.Wait();
        }
        // Anything on the server that is not a file of the tree is what the killed run was writing.
        bool extra = false;
        for (const auto& [path, content] : Files(server.Home()))
            extra = extra || !expected.contains(path);
        leftBehind += extra ? 1 : 0;
        fs::remove(dir.Path() / "second.log");
        TServerProcess second;
        start(second, round, "second.log");
        ASSERT_EQ(second.Wait(std::chrono::seconds(30)), 0) << ReadTextFile(dir.Path() / "second.log");
        if (extra) {
            EXPECT_NE(ReadTextFile(dir.Path() / "second.log").find("Removed the stale temporary ["), std::string::npos);
        }
        // Compared whole, never printed: a diff of the contents would flood the log.
        const auto uploaded = Files(server.Home());
        EXPECT_EQ(uploaded.size(), expected.size());
        for (const auto& [path, content] : expected) {
            auto found = uploaded.find(path);
            EXPECT_TRUE(found != uploaded.end() && found->second == content) << path << " differs on the server";
        }
        if (::testing::Test::HasFailure())
            break;
    }
    // The kills must have caught uploads under way, or the rounds showed nothing.
    EXPECT_GT(leftBehind, 0);
}

} // namespace
