// Uploads 2,000 files of 1-64 KiB in 40 folders to one ProFTPD with the "FTP Upload" action and with
// `lftp mirror -R`, and prints the time ratio and the commands each sent (from the server's command log).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "package/ZRInternetReg.h"
#include "support/FTPServerFixture.h"

using namespace quillate;
using namespace quillate::testing;
using namespace quillate::bench;
namespace fs = std::filesystem;

namespace {

constexpr int Folders = 40;
constexpr int FilesPerFolder = 50;

std::string FolderName(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "folder%02d", index);
    return name;
}

// Fixed seed: every run uploads the same tree. Each file is a different window of one random block.
std::int64_t GenerateTree(const fs::path& root) {
    constexpr int MaxSize = 64 * 1024;
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> size(1024, MaxSize);
    std::uniform_int_distribution<int> offset(0, MaxSize);
    std::vector<char> block(2 * MaxSize);
    for (auto& c : block)
        c = static_cast<char>(random());
    std::int64_t total = 0;
    for (int d = 0; d < Folders; ++d) {
        fs::path folder = root / FolderName(d);
        fs::create_directories(folder);
        for (int f = 0; f < FilesPerFolder; ++f) {
            int bytes = size(random);
            std::ofstream out(folder / ("file" + std::to_string(f) + ".bin"), std::ios::binary);
            out.write(block.data() + offset(random), bytes);
            total += bytes;
        }
    }
    return total;
}

// The files below a folder with their sizes, to check that both tools uploaded the whole tree.
std::map<std::string, std::uintmax_t> Listing(const fs::path& root) {
    std::map<std::string, std::uintmax_t> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = entry.file_size();
    return files;
}

struct TToolRun {
    double Seconds = 0;
    std::vector<std::string> Commands;
};

std::map<std::string, int> VerbCounts(const std::vector<std::string>& commands) {
    std::map<std::string, int> counts;
    for (const auto& c : commands)
        ++counts[Verb(c)];
    return counts;
}

void PrintVerbs(const char* tool, const std::vector<std::string>& commands) {
    std::printf("  %-6s", tool);
    for (const auto& [verb, count] : VerbCounts(commands))
        std::printf(" %s=%d", verb.c_str(), count);
    std::printf("\n");
}

// Watches ProFTPD's command log session by session.
class TCommandLog {
public:
    explicit TCommandLog(const TFTPTestServer& server) : FServer(server) {}
    // The commands of the session that ended last.
    std::vector<std::string> NextSession() {
        ++FSessions;
        auto sessions = Sessions(FServer.LoggedCommands(FSessions));
        if (sessions.size() < FSessions)
            throw std::runtime_error("a session is missing from the server's command log");
        return sessions[FSessions - 1];
    }

private:
    const TFTPTestServer& FServer;
    std::size_t FSessions = 0;
};

TToolRun RunAction(const TFTPTestServer& server, TCommandLog& commands, const fs::path& local,
                   const std::string& target, const fs::path& work) {
    std::string project = R"({"actions":[)" + BenchConnectJson(server.Port()) + R"(,
        {"type":"action.ftp.changedir","properties":{"ConnectionName":"Bench","RemoteDir":")" + target + R"("}},
        {"type":"action.ftp.upload.file","properties":{"ConnectionName":"Bench","LocalDir":")" + local.string() +
                          R"(","FileSpec":"*","Recursive":true}},
        {"type":"action.ftp.disconnect","properties":{"ConnectionName":"Bench"}}]})";
    TToolRun run;
    run.Seconds = RunProjectTimed(project, work);
    run.Commands = commands.NextSession();
    return run;
}

TToolRun RunLftp(const TFTPTestServer& server, TCommandLog& commands, const fs::path& local,
                 const std::string& target, const fs::path& work) {
    TToolRun run;
    run.Seconds = RunLftpTimed(server.Port(), "mirror -R " + local.string() + " /" + target, work);
    run.Commands = commands.NextSession();
    return run;
}

} // namespace

// Usage: ftp_upload_many [ROUNDS]; each round uploads the tree once with each tool into fresh folders,
// and the medians are compared, which keeps a busy machine's noise out of the ratio.
int main(int argc, char** argv) {
    try {
        int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
        TTempDir work("quillate-bench");
        fs::path local = work.Path() / "tree";
        std::int64_t bytes = GenerateTree(local);
        TFTPTestServer server(TFTPServerKind::skProFTPD);
        server.Start();
        TCommandLog commands(server);
        std::printf("ftp_upload_many: %d files, %lld bytes in %d folders, ProFTPD on port %u, %d rounds\n",
                    Folders * FilesPerFolder, static_cast<long long>(bytes), Folders, server.Port(), rounds);

        zr::RegisterPackage(false);
        auto expected = Listing(local);
        std::vector<double> actionTimes, lftpTimes;
        TToolRun action, lftp;
        bool same = true;
        for (int round = 1; round <= rounds; ++round) {
            std::string actionTarget = "action" + std::to_string(round), lftpTarget = "lftp" + std::to_string(round);
            server.MakeDir(actionTarget);
            server.MakeDir(lftpTarget);
            action = RunAction(server, commands, local, actionTarget, work.Path());
            lftp = RunLftp(server, commands, local, lftpTarget, work.Path());
            actionTimes.push_back(action.Seconds);
            lftpTimes.push_back(lftp.Seconds);
            same = same && Listing(server.Home() / actionTarget) == expected &&
                   Listing(server.Home() / lftpTarget) == expected;
            std::printf("  round %d: action %.2f s, lftp %.2f s\n", round, action.Seconds, lftp.Seconds);
        }
        double actionMedian = Median(actionTimes), lftpMedian = Median(lftpTimes);
        std::printf("  FTP Upload action: median %.2f s, %zu commands\n", actionMedian, action.Commands.size());
        std::printf("  lftp mirror -R:    median %.2f s, %zu commands\n", lftpMedian, lftp.Commands.size());
        std::printf("  %s\n", GoalLine("time", actionMedian / lftpMedian, "x", "lftp", NoGoal).c_str());
        std::printf("  %s\n", GoalLine("commands",
                                       static_cast<double>(action.Commands.size()) /
                                           static_cast<double>(lftp.Commands.size()),
                                       "x", "lftp", NoGoal)
                                  .c_str());
        std::printf("  commands by verb (last round):\n");
        PrintVerbs("action", action.Commands);
        PrintVerbs("lftp", lftp.Commands);
        std::printf("  every uploaded tree matches the local one: %s\n", same ? "yes" : "NO");
        return same ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftp_upload_many: %s\n", e.what());
        return 1;
    }
}
