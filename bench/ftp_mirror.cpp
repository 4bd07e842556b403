// Mirrors a generated tree of small files (10,000 in 525 folders, or 100,000 in 5,250) in three phases (a
// first copy into an empty folder, a run with nothing changed, a run after ten files were rewritten),
// each with the "FTP Mirror" action and `lftp mirror -R` on one server and with `rclone sync --size-only`
// on another (rclone ends its sessions without QUIT, which would merge them with the next tool's in one
// command log), and prints per phase the time ratios and our peak memory, and on ProFTPD the commands,
// listings and uploads each tool sent; then each ratio beside its goal. The first copy of the 10,000
// files is also made with `lftp mirror -R -P 4` on the second server, the parallel reference of the
// action's parallel transfers. The 100,000-file round runs on Pure-FTPd (a ProFTPD session that
// receives a quarter of a million commands grows by gigabytes and becomes the bottleneck), times only.
//
// Our side runs in a child: the bench starts itself again with "--ours PROJECT", and that process only
// registers the package and runs the project, so its peak resident size is the action's alone and
// nothing of the tree the bench generated or of the command logs it reads.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "BenchSupport.h"
#include "package/ZRInternetReg.h"
#include "support/FTPServerFixture.h"

using namespace quillate;
using namespace quillate::testing;
using namespace quillate::bench;
namespace fs = std::filesystem;

namespace {

constexpr int SubFolders = 20;
constexpr int FilesPerFolder = 20;
constexpr int SmallRound = 10'000;
constexpr int LargeRound = 100'000;
constexpr int RewrittenFiles = 10;
// Set by the command line: SmallRound or LargeRound.
int FileCount = SmallRound;
constexpr const char* ActionTarget = "mirrorA";
constexpr const char* LftpTarget = "mirrorB";
constexpr const char* RcloneTarget = "mirrorC";
constexpr const char* LftpParallelTarget = "mirrorD";

std::string Numbered(const char* prefix, int index, const char* suffix = "") {
    char name[32];
    std::snprintf(name, sizeof name, "%s%02d%s", prefix, index, suffix);
    return name;
}

// "dir07/sub13/file05.dat" for the file with that index, 0 .. FileCount - 1.
fs::path FilePath(int index) {
    int perTop = SubFolders * FilesPerFolder;
    return fs::path(Numbered("dir", index / perTop)) / Numbered("sub", index % perTop / FilesPerFolder) /
           Numbered("file", index % FilesPerFolder, ".dat");
}

// Fixed seed: every run mirrors the same tree. Each file is a different window of one random block.
std::int64_t GenerateTree(const fs::path& root) {
    constexpr int MinSize = 512, MaxSize = 8 * 1024;
    std::mt19937 random(20240917);
    std::uniform_int_distribution<int> size(MinSize, MaxSize);
    std::uniform_int_distribution<int> offset(0, MaxSize);
    std::vector<char> block(2 * MaxSize);
    for (auto& c : block)
        c = static_cast<char>(random());
    std::int64_t total = 0;
    for (int i = 0; i < FileCount; ++i) {
        fs::path file = root / FilePath(i);
        if (i % FilesPerFolder == 0)
            fs::create_directories(file.parent_path());
        int bytes = size(random);
        std::ofstream out(file, std::ios::binary);
        out.write(block.data() + offset(random), bytes);
        total += bytes;
    }
    return total;
}

// Gives ten files spread over the tree new bytes and a new size, so a size comparison alone sees them;
// their dates become now, which is also newer than the copies on the server.
void RewriteSome(const fs::path& root) {
    for (int i = 0; i < RewrittenFiles; ++i) {
        fs::path file = root / FilePath((i * 997 + 13) % FileCount);
        std::string bytes(fs::file_size(file) + 100 + static_cast<std::size_t>(i), static_cast<char>('a' + i));
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    }
}

// Every entry below a folder: files with their sizes, folders as -1; what both copies must equal.
std::map<std::string, std::int64_t> Listing(const fs::path& root) {
    std::map<std::string, std::int64_t> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        entries[fs::relative(entry.path(), root).string()] =
            entry.is_directory() ? -1 : static_cast<std::int64_t>(entry.file_size());
    return entries;
}

std::size_t FolderCount(const fs::path& root) {
    std::size_t folders = 1; // the root is listed too
    for (const auto& entry : fs::recursive_directory_iterator(root))
        folders += entry.is_directory() ? 1 : 0;
    return folders;
}

bool IsListing(const std::string& command) {
    std::string verb = Verb(command);
    return verb == "LIST" || verb == "MLSD" || verb == "NLST";
}

// What one session sent. The action measures the server's clock skew before it compares: it uploads an
// empty file, lists, sets its date, lists and deletes it. Those commands are counted apart, so that the
// figures for the tree itself say how many folders were listed and how many files were sent.
struct TSessionCounts {
    std::size_t Commands = 0;
    int Listings = 0;
    int Stores = 0;
    std::size_t ProbeCommands = 0;
    int ProbeListings = 0;
    int ProbeStores = 0;
    std::map<std::string, int> Verbs;

    int TreeListings() const { return Listings - ProbeListings; }
    int TreeStores() const { return Stores - ProbeStores; }
};

TSessionCounts Count(const std::vector<std::string>& session) {
    TSessionCounts counts;
    counts.Commands = session.size();
    // The probe file is the only upload whose name starts with "zr": the tree's names do not.
    std::size_t probeBegin = session.size(), probeEnd = session.size();
    for (std::size_t i = 0; i < session.size() && probeBegin == session.size(); ++i)
        if (session[i].rfind("STOR zr", 0) == 0)
            probeBegin = i;
    if (probeBegin < session.size()) {
        std::string deletion = "DELE " + session[probeBegin].substr(5);
        for (std::size_t i = probeBegin; i < session.size() && probeEnd == session.size(); ++i)
            if (session[i] == deletion)
                probeEnd = i;
    }
    const std::string probeName = probeBegin < session.size() ? session[probeBegin].substr(5) : std::string();
    for (std::size_t i = 0; i < session.size(); ++i) {
        const std::string& command = session[i];
        ++counts.Verbs[Verb(command)];
        bool listing = IsListing(command), store = Verb(command) == "STOR";
        counts.Listings += listing ? 1 : 0;
        counts.Stores += store ? 1 : 0;
        // The listing connections log in while the probe runs, and their lines come between the probe's in
        // the server's log: the probe's own are those naming its file, and its listings of the folder (a
        // bare MLSD), each transfer with the EPSV before it.
        const bool inWindow = i >= probeBegin && i <= probeEnd && probeBegin < session.size();
        const bool own = inWindow && (command.find(probeName) != std::string::npos || command == "MLSD" ||
                                      command == "LIST");
        if (own) {
            const bool transfer = listing || store;
            counts.ProbeCommands += transfer ? 2 : 1;
            counts.ProbeListings += listing ? 1 : 0;
            counts.ProbeStores += store ? 1 : 0;
        }
    }
    return counts;
}

struct TToolRun {
    double Seconds = 0;
    double PeakMB = 0; // the action's alone
    double CPUSeconds = 0;
    std::string Skew; // the action's own report of the server's clock skew
};

// compareDates false compares sizes alone, as rclone's --size-only does.
std::string ActionProject(const TFTPTestServer& server, const fs::path& local, int parallel, int listings,
                          bool compareDates) {
    return R"({"actions":[)" + BenchConnectJson(server.Port()) + R"(,
        {"type":"action.ftp.mirror","properties":{"ConnectionName":"Bench","MirrorOperation":"moLocalToRemote",
         "LocalDir":")" + local.string() + R"(","SpecifyRemoteDir":true,"RemoteDir":")" + ActionTarget + R"(",
         "Recursive":true,"MirrorDateTime":true,"CheckFileSize":true,"CheckFileDate":)" + std::string(compareDates ? "true" : "false") +
           R"(,"CheckFileCRC":false,
         "DeleteOrphans":false,"LogFiles":false,"ParallelTransfers":)" + std::to_string(parallel) +
           R"(,"ParallelListings":)" + std::to_string(listings) + R"(}},
        {"type":"action.ftp.disconnect","properties":{"ConnectionName":"Bench"}}]})";
}

// Runs the project in a child process (see the top of the file).
TToolRun RunAction(const std::string& project, const fs::path& work) {
    const fs::path file = work / "ours.json", output = work / "ours.out";
    WriteTextFile(file, project);
    fs::remove(output); // the launcher appends
    int status = RunProcess({fs::read_symlink("/proc/self/exe").string(), "--ours", file.string()}, work, output);
    std::string text = ReadTextFile(output);
    TToolRun run;
    if (status != 0 || std::sscanf(text.c_str(), "%lf %lf %lf", &run.Seconds, &run.PeakMB, &run.CPUSeconds) != 3)
        throw std::runtime_error("the action's run failed:\n" + text);
    std::istringstream log(ReadTextFile(work / "ours.log"));
    for (std::string line; std::getline(log, line);)
        if (auto at = line.find("Server Time Skew"); at != std::string::npos)
            run.Skew = line.substr(at);
    return run;
}

// lftp compares sizes and dates by default and sets the server's date of what it uploads. --no-perms
// leaves out the SITE CHMOD after every upload and --overwrite stores over a changed file instead of
// deleting it first: the action does neither, so both tools do the same work. options: e.g. "-P 4 ".
TToolRun RunLftp(const TFTPTestServer& server, const fs::path& local, const fs::path& work,
                 const char* target = LftpTarget, const std::string& options = "") {
    TToolRun run;
    run.Seconds = RunLftpTimed(
        server.Port(),
        "mirror -R " + options + "--no-perms --overwrite --verbose=0 " + local.string() + " " + target, work);
    return run;
}

void PrintVerbs(const char* tool, const TSessionCounts& counts) {
    std::printf("      %-6s", tool);
    for (const auto& [verb, count] : counts.Verbs)
        std::printf(" %s=%d", verb.c_str(), count);
    std::printf("\n");
}

double MedianSeconds(const std::vector<TToolRun>& runs) {
    std::vector<double> values;
    for (const auto& run : runs)
        values.push_back(run.Seconds);
    return Median(values);
}

const char* Verdict(bool met) { return met ? "PASS" : "MISS"; }

// The goals of the 10,000-file round; the large round has its own, given where they are printed.
std::optional<double> SmallRoundGoal(bool large, double goal) {
    return large ? NoGoal : std::optional(goal);
}

} // namespace

// Usage: ftp_mirror [ROUNDS [COMMANDS_DIR [PARALLEL [LISTINGS [FILES]]]]]. The no-change phase is run
// ROUNDS times (3) by each tool in turn and the medians are compared, which keeps a busy machine's noise
// out of the ratio; its counts are the first round's. COMMANDS_DIR ("-" for none) receives every run's
// commands, one file each. PARALLEL (4) and LISTINGS (3) are the action's ParallelTransfers and
// ParallelListings; on two cores three listing connections beat eight (more logins, more switching between
// them), and "1 1" gives the sequential run; on the large round "0 0" gives the action's defaults (automatic).
// FILES is 10000 (ProFTPD, with the command counts) or 100000 (Pure-FTPd, times only).
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--ours")
        return RunOursChild(argv[2]);
    try {
        const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
        const fs::path dumpDir = argc > 2 && std::string(argv[2]) != "-" ? fs::path(argv[2]) : fs::path();
        FileCount = argc > 5 && std::atoi(argv[5]) >= LargeRound ? LargeRound : SmallRound;
        const bool large = FileCount == LargeRound;
        // The small round counts each run's sessions from these, so it needs them given.
        const int fewest = large ? 0 : 1;
        const int parallel = argc > 3 ? std::clamp(std::atoi(argv[3]), fewest, 8) : 4;
        const int listings = argc > 4 ? std::clamp(std::atoi(argv[4]), fewest, 8) : 3;
        const double memoryGoalMB = large ? 64 : 32;
        const TFTPServerKind kind = large ? TFTPServerKind::skPureFTPd : TFTPServerKind::skProFTPD;
        TTempDir work("quillate-bench");
        fs::path local = work.Path() / "tree";
        std::int64_t bytes = GenerateTree(local);
        const std::size_t folders = FolderCount(local);
        TFTPTestServer server(kind);
        server.Start();
        server.MakeDir(ActionTarget);
        server.MakeDir(LftpTarget);
        TFTPTestServer rcloneServer(kind);
        rcloneServer.Start();
        rcloneServer.MakeDir(RcloneTarget);
        rcloneServer.MakeDir(LftpParallelTarget);
        std::printf("ftp_mirror: %d files, %lld bytes, %zu folders (root included), %s on port %u\n", FileCount,
                    static_cast<long long>(bytes), folders, KindName(kind).c_str(), server.Port());
        std::printf("  lftp: set ftp:ssl-allow no; set ftp:passive-mode on; "
                    "mirror -R --no-perms --overwrite --verbose=0\n");
        std::printf("  rclone: sync --size-only, default settings (4 transfers, 8 checkers)\n");
        // The large round compares as rclone does (sizes), which lets the action list whole subtrees at once.
        std::printf("  action: FTP Mirror local to remote, recursive, %s, no CRC, no orphan deletion, "
                    "ParallelTransfers %d, ParallelListings %d\n",
                    large ? "sizes only (dates set on upload)" : "sizes and dates (MirrorDateTime)", parallel, listings);

        const std::string project = ActionProject(server, local, parallel, listings, !large);
        const char* phases[] = {"first mirror into an empty folder", "nothing changed", "after rewriting 10 files"};
        // Per phase, each tool's runs in the order of their sessions in the command log.
        std::vector<TToolRun> action[3], lftp[3], rclone[3];
        std::size_t rcloneCommands[3] = {0, 0, 0};
        // The first copy with lftp -P 4; not made on the large round, where a third first copy's closed data
        // connections would take the local ports the later phases need.
        double lftpParallelSeconds = std::nan("");
        bool same = true;
        for (int phase = 0; phase < 3; ++phase) {
            // Two first copies of the large round leave some 200,000 closed data connections waiting out their
            // minute, which takes every local port the server's passive mode needs next.
            if (large && phase == 1) {
                std::printf("  waiting 60 s for the ports of the first copies' data connections\n");
                std::this_thread::sleep_for(std::chrono::seconds(60));
            }
            // The runs with little to do are short enough for a server's pause (ProFTPD's parent sleeps twice
            // 200 ms every few seconds and after each session ends, and a login that comes then waits) to
            // swing one round: they give medians.
            for (int round = 0; round < (phase == 0 ? 1 : rounds); ++round) {
                if (phase == 2)
                    RewriteSome(local);
                action[phase].push_back(RunAction(project, work.Path()));
                // The server logs a command after its reply: a pause keeps one session's last lines ahead
                // of the next session's first in the log.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                lftp[phase].push_back(RunLftp(server, local, work.Path()));
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                auto before = large ? 0 : rcloneServer.LoggedCommands(0).size();
                const double rcloneSeconds = RunRcloneTimed(rcloneServer.Port(), local, RcloneTarget, work.Path());
                rclone[phase].push_back({rcloneSeconds, 0, 0, ""});
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                if (round == 0 && !large)
                    rcloneCommands[phase] = rcloneServer.LoggedCommands(0).size() - before;
                // On rclone's server after its commands were counted, so that the first server's command log
                // still holds one session per lftp run (-P 4 opens several).
                if (phase == 0 && !large) {
                    lftpParallelSeconds =
                        RunLftp(rcloneServer, local, work.Path(), LftpParallelTarget, "-P 4 ").Seconds;
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                }
            }
            if (phase != 1) {
                auto expected = Listing(local);
                bool actionSame = Listing(server.Home() / ActionTarget) == expected;
                bool lftpSame = Listing(server.Home() / LftpTarget) == expected;
                bool rcloneSame = Listing(rcloneServer.Home() / RcloneTarget) == expected;
                if (phase == 0 && !large)
                    lftpSame = lftpSame && Listing(rcloneServer.Home() / LftpParallelTarget) == expected;
                if (!actionSame || !lftpSame || !rcloneSame)
                    std::printf("  phase %d: the remote tree differs from the local one: action %s, lftp %s, rclone %s\n",
                                phase + 1, actionSame ? "same" : "DIFFERENT", lftpSame ? "same" : "DIFFERENT",
                                rcloneSame ? "same" : "DIFFERENT");
                same = same && actionSame && lftpSame && rcloneSame;
            }
        }

        // The sessions of each run: the action's main connection, plus the extra connections it opened
        // (the listing connections log in as the run starts; where a file is sent, the transfers take them
        // over and log in only those they lack), then lftp's.
        std::vector<std::vector<std::string>> runs;
        if (!large) {
            std::vector<std::size_t> runSessions;
            const int listingLogins = listings > 1 ? listings : 0;
            const int transferLogins = parallel > 1 ? std::max(parallel - listingLogins, 0) : 0;
            for (int phase = 0; phase < 3; ++phase)
                for (std::size_t round = 0; round < action[phase].size(); ++round) {
                    runSessions.push_back(static_cast<std::size_t>(1 + listingLogins +
                                                                   (phase != 1 ? transferLogins : 0)));
                    runSessions.push_back(1);
                }
            std::size_t sessionCount = 0;
            for (auto count : runSessions)
                sessionCount += count;
            auto sessions = Sessions(server.LoggedCommands(sessionCount));
            if (sessions.size() != sessionCount)
                throw std::runtime_error("expected " + std::to_string(sessionCount) +
                                         " sessions in the command log, found " + std::to_string(sessions.size()));
            auto next = sessions.begin();
            for (auto count : runSessions) {
                runs.emplace_back();
                for (std::size_t i = 0; i < count; ++i, ++next)
                    runs.back().insert(runs.back().end(), next->begin(), next->end());
            }
            if (!dumpDir.empty()) {
                fs::create_directories(dumpDir);
                for (std::size_t i = 0; i < runs.size(); ++i) {
                    std::ofstream out(dumpDir / ("run" + std::to_string(i + 1) + (i % 2 ? "-lftp" : "-action") + ".txt"));
                    for (const auto& command : runs[i])
                        out << command << "\n";
                }
            }
        }
        TSessionCounts unchanged;
        double ratios[3][2] = {};
        double peakMB = 0;
        std::size_t first = 0;
        for (int phase = 0; phase < 3; ++phase) {
            double a = MedianSeconds(action[phase]), l = MedianSeconds(lftp[phase]), r = MedianSeconds(rclone[phase]);
            double phasePeak = 0;
            std::vector<double> cpu;
            for (const auto& run : action[phase]) {
                phasePeak = std::max(phasePeak, run.PeakMB);
                cpu.push_back(run.CPUSeconds);
            }
            peakMB = std::max(peakMB, phasePeak);
            ratios[phase][0] = a / l;
            ratios[phase][1] = a / r;
            std::string medians =
                action[phase].size() > 1 ? ", medians of " + std::to_string(action[phase].size()) + " rounds" : "";
            std::printf("  phase %d (%s%s)\n", phase + 1, phases[phase], medians.c_str());
            std::printf("    time: action %.2f s, lftp %.2f s, rclone %.2f s; ratios action/lftp %.2f, action/rclone "
                        "%.2f; the action's processor time %.2f s, peak memory %.1f MB\n",
                        a, l, r, a / l, a / r, Median(cpu), phasePeak);
            if (phase == 0 && !large)
                std::printf("    lftp -P 4: %.2f s\n", lftpParallelSeconds);
            if (action[phase].size() > 1) {
                std::printf("    rounds:");
                for (std::size_t i = 0; i < action[phase].size(); ++i)
                    std::printf(" %.2f/%.2f/%.2f", action[phase][i].Seconds, lftp[phase][i].Seconds,
                                rclone[phase][i].Seconds);
                std::printf(" s (action/lftp/rclone)\n");
            }
            if (large)
                continue;
            std::printf("    rclone commands (first round): %zu\n", rcloneCommands[phase]);
            TSessionCounts ours = Count(runs[first]);
            TSessionCounts theirs = Count(runs[first + 1]);
            // The probe may repeat its upload (when it straddles a second), so rounds compare what the
            // tools sent for the tree.
            auto treeFigures = [](const TSessionCounts& c) {
                return std::tuple(c.Commands - c.ProbeCommands, c.TreeListings(), c.TreeStores());
            };
            bool steady = true;
            for (std::size_t i = 1; i < action[phase].size(); ++i)
                steady = steady && treeFigures(Count(runs[first + 2 * i])) == treeFigures(ours) &&
                         Count(runs[first + 2 * i + 1]).Verbs == theirs.Verbs;
            first += 2 * action[phase].size();
            if (phase == 1)
                unchanged = ours;
            if (action[phase].size() > 1)
                std::printf("    the same commands every round: %s\n", steady ? "yes" : "NO");
            std::printf("    commands: action %zu, lftp %zu\n", ours.Commands, theirs.Commands);
            std::printf("    listings (LIST/MLSD/NLST): action %d (%d of the tree, %d of the skew probe), lftp %d\n",
                        ours.Listings, ours.TreeListings(), ours.ProbeListings, theirs.Listings);
            std::printf("    STOR: action %d (%d of the tree, %d of the skew probe), lftp %d\n", ours.Stores,
                        ours.TreeStores(), ours.ProbeStores, theirs.Stores);
            const std::string& skew = action[phase].front().Skew;
            std::printf("    skew probe: %zu commands; %s\n", ours.ProbeCommands,
                        skew.empty() ? "no skew reported" : skew.c_str());
            PrintVerbs("action", ours);
            PrintVerbs("lftp", theirs);
        }
        std::printf("  every checked remote tree matches the local one: %s\n", same ? "yes" : "NO");
        if (!large) {
            bool oneListingPerFolder = unchanged.TreeListings() == static_cast<int>(folders);
            bool noTransfer = unchanged.TreeStores() == 0 && unchanged.Verbs.count("RETR") == 0;
            std::printf("  %s no-change run lists each folder once (%d listings of the tree for %zu folders) and "
                        "sends no file (%d STOR besides the skew probe's empty file)\n",
                        Verdict(oneListingPerFolder && noTransfer), unchanged.TreeListings(), folders,
                        unchanged.TreeStores());
        }
        // The large round holds its no-change run to rclone and its peak memory; its other ratios are reported
        // without a goal.
        const double firstCopyParallel = MedianSeconds(action[0]) / lftpParallelSeconds;
        const std::tuple<const char*, double, const char*, std::optional<double>> goals[] = {
            {"first copy", ratios[0][1], "rclone", SmallRoundGoal(large, 0.2)},
            {"first copy", firstCopyParallel, "lftp -P 4", SmallRoundGoal(large, 0.7)},
            {"first copy", ratios[0][0], "lftp", NoGoal},
            {"nothing changed", ratios[1][1], "rclone", 0.5},
            {"nothing changed", ratios[1][0], "lftp", SmallRoundGoal(large, 0.3)},
            {"10 rewritten", ratios[2][1], "rclone", SmallRoundGoal(large, 0.6)},
            {"10 rewritten", ratios[2][0], "lftp", SmallRoundGoal(large, 1)},
        };
        std::printf("  goals%s:\n",
                    parallel == 4 ? "" : " (the first copy's are set for ParallelTransfers 4)");
        for (const auto& [what, ratio, reference, goal] : goals)
            std::printf("    %s\n", GoalLine(what, ratio, "x", reference, goal).c_str());
        std::printf("    %s\n",
                    GoalLine("the action's peak memory", peakMB, " MB", "", memoryGoalMB).c_str());
        return same ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftp_mirror: %s\n", e.what());
        return 1;
    }
}
