// Downloads one large file from a local nginx with the "HTTP Get File" action to a file and with the
// curl command line, rounds alternating, and prints the time ratio, the CPU seconds a GiB of each
// and our peak memory.
//
// Our side runs in a child: the bench starts itself again with "--ours PROJECT", and that process
// only registers the package and runs the project, so its peak resident size (VmHWM) is ours
// and nothing the bench itself generated or measured. Both sides are timed from outside, from the
// start of their process to its end, so that neither gets its start-up for free.
#include <openssl/evp.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "package/ZRInternetReg.h"
#include "support/NginxServerFixture.h"

using namespace quillate;
using namespace quillate::testing;
using namespace quillate::bench;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr int GoalMiB = 1024;
constexpr double GoalRatio = 1.05;
constexpr double GoalPeakMB = 32;
constexpr std::uintmax_t MiB = 1024 * 1024;

// SHA-256 of a file, read a MiB at a time, in hex.
std::string Digest(const fs::path& path) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(MiB);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

std::string GetProject(const std::string& url, std::uint16_t port, const fs::path& target) {
    json action{{"type", "action.inet.http.get"},
                {"properties",
                 {{"URL", url},
                  {"Port", port},
                  {"DownloadTo", "dSaveToFile"},
                  {"DownloadToFile", target.string()},
                  {"OverwriteFile", true}}}};
    return json{{"actions", {action}}}.dump();
}

double ChildrenCPUSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct TRun {
    double Seconds = 0;    // the process, start to end
    double CPUSeconds = 0; // user and system
    std::string Output;
};

// Runs a program to its end with its output in a file; throws with that output when it fails.
TRun RunMeasured(const std::vector<std::string>& argv, const fs::path& work, const std::string& what) {
    fs::path output = work / "child.out";
    fs::remove(output); // the launcher appends
    double cpuBefore = ChildrenCPUSeconds();
    auto started = std::chrono::steady_clock::now();
    int status = RunProcess(argv, work, output);
    TRun run{Seconds(std::chrono::steady_clock::now() - started), ChildrenCPUSeconds() - cpuBefore,
             ReadTextFile(output)};
    if (status != 0)
        throw std::runtime_error(what + " failed:\n" + run.Output);
    return run;
}


void CheckSize(const fs::path& file, std::uintmax_t expected, const char* who) {
    std::uintmax_t size = fs::exists(file) ? fs::file_size(file) : 0;
    if (size != expected)
        throw std::runtime_error(std::string(who) + " downloaded " + std::to_string(size) + " bytes, not " +
                                 std::to_string(expected));
}

} // namespace

// Usage: http_get [MIB [ROUNDS]] (1024, 3); each round runs both downloads, in turns, and the
// medians are compared.
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--ours")
        return RunOursChild(argv[2]);
    try {
        int mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : GoalMiB;
        int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
        TTempDir work("quillate-bench");
        const fs::path& dir = work.Path();
        TNginxServer nginx;
        nginx.Start();
        WritePseudoRandomFile(nginx.Root() / "big.bin", mib);
        const std::uintmax_t size = static_cast<std::uintmax_t>(mib) * MiB;
        const std::string url = "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/big.bin";
        const fs::path ours = dir / "ours.bin", theirs = dir / "curl.bin", project = dir / "ours.json";
        WriteTextFile(project, GetProject(url, nginx.Port(), ours));
        const std::vector<std::string> oursArgv{fs::read_symlink("/proc/self/exe").string(), "--ours",
                                                project.string()};
        const std::vector<std::string> curlArgv{"/usr/bin/curl", "-sS", "-o", theirs.string(), url};

        std::printf("http_get: %d MiB from nginx on port %u, %d rounds\n", mib, nginx.Port(), rounds);
        if (mib != GoalMiB)
            std::printf("the time goal is set for %d MiB: this size is reported without it\n", GoalMiB);
        std::vector<double> oursSeconds, curlSeconds, actionSeconds;
        double oursCPU = 0, curlCPU = 0, peak = 0;
        for (int round = 1; round <= rounds; ++round) {
            TRun ourRun, curlRun;
            auto runOurs = [&] {
                fs::remove(ours);
                ourRun = RunMeasured(oursArgv, dir, "the action's download");
                CheckSize(ours, size, "the action");
            };
            auto runCurl = [&] {
                fs::remove(theirs);
                curlRun = RunMeasured(curlArgv, dir, "curl");
                CheckSize(theirs, size, "curl");
            };
            // Turns alternate, so that neither side always finds the caches as the other left them.
            if (round % 2) {
                runOurs();
                runCurl();
            } else {
                runCurl();
                runOurs();
            }
            double action = 0, peakMB = 0;
            if (std::sscanf(ourRun.Output.c_str(), "%lf %lf", &action, &peakMB) != 2)
                throw std::runtime_error("the action's run printed no figures:\n" + ourRun.Output);
            if (round == 1 && Digest(ours) != Digest(theirs))
                throw std::runtime_error("the action's file differs from curl's");
            oursSeconds.push_back(ourRun.Seconds);
            curlSeconds.push_back(curlRun.Seconds);
            actionSeconds.push_back(action);
            oursCPU += ourRun.CPUSeconds;
            curlCPU += curlRun.CPUSeconds;
            peak = std::max(peak, peakMB);
            std::printf("  round %d: action %.3f s (its run %.3f s, %.2f CPU s), curl %.3f s (%.2f CPU s)%s\n", round,
                        ourRun.Seconds, action, ourRun.CPUSeconds, curlRun.Seconds, curlRun.CPUSeconds,
                        round == 1 ? ", same SHA-256" : "");
        }
        fs::remove(ours);
        fs::remove(theirs);

        const double gib = static_cast<double>(size) * rounds / (1024.0 * MiB);
        const double ratio = Median(oursSeconds) / Median(curlSeconds);
        std::printf("%s\n", GoalLine("time, whole processes", ratio, "x", "curl",
                                     mib == GoalMiB ? std::optional(GoalRatio) : NoGoal)
                                .c_str());
        std::printf("%s\n", GoalLine("time, the action's run alone",
                                     Median(actionSeconds) / Median(curlSeconds), "x", "curl", NoGoal)
                                .c_str());
        std::printf("CPU seconds per GiB: action %.3f, curl %.3f\n", oursCPU / gib, curlCPU / gib);
        std::printf("%s\n",
                    GoalLine("peak memory of the action's process", peak, " MB", "", GoalPeakMB).c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "http_get: %s\n", e.what());
        return 1;
    }
}
