#include "BenchSupport.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "ftp/ZRFTPConnectAction.h"
#include "host/CryptoUtils.h"
#include "host/Log.h"
#include "host/Project.h"
#include "host/Runner.h"
#include "package/ZRInternetReg.h"
#include "support/FTPServerFixture.h"

namespace quillate::bench {

namespace fs = std::filesystem;
using quillate::testing::TFTPTestServer;

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double PeakMB() {
    // VmHWM, not ru_maxrss: a process started with posix_spawn takes over its parent's peak in ru_maxrss
    // when it execs, so a child would report the bench's own size.
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0; // kilobytes
    throw std::runtime_error("no VmHWM in /proc/self/status");
}

double CPUSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string GoalLine(std::string_view what, double value, std::string_view unit, std::string_view reference,
                     std::optional<double> atMost) {
    char number[64];
    std::string line(what);
    line += ": ";
    if (std::isnan(value)) {
        line += "not measured";
        if (!reference.empty())
            line.append(" against ").append(reference);
    } else {
        std::snprintf(number, sizeof number, "%.2f", value);
        line.append(number).append(unit);
        if (!reference.empty())
            line.append(" ").append(reference);
    }
    if (!atMost) {
        line += " (no goal set)";
        return line;
    }
    std::snprintf(number, sizeof number, "%g", *atMost);
    line.append(" (goal <= ").append(number).append(unit).append(")");
    if (!std::isnan(value))
        line += value <= *atMost ? ": PASS" : ": MISS";
    return line;
}

void WritePseudoRandomFile(const std::filesystem::path& path, int mib) {
    std::ofstream out(path, std::ios::binary);
    std::vector<std::uint64_t> chunk(1024 * 1024 / sizeof(std::uint64_t));
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int m = 0; m < mib; ++m) {
        for (auto& word : chunk) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        out.write(reinterpret_cast<const char*>(chunk.data()),
                  static_cast<std::streamsize>(chunk.size() * sizeof(std::uint64_t)));
    }
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

std::string Verb(const std::string& command) { return command.substr(0, command.find(' ')); }

std::vector<std::vector<std::string>> Sessions(const std::vector<std::string>& logged) {
    std::vector<std::vector<std::string>> sessions(1);
    for (const auto& command : logged) {
        if (command.rfind("OPTS_", 0) == 0)
            continue;
        sessions.back().push_back(command);
        if (command == "QUIT")
            sessions.emplace_back();
    }
    sessions.pop_back();
    return sessions;
}

std::string BenchConnectJson(std::uint16_t port) {
    return R"({"type":"action.ftp.connect","properties":{"FTPConnectionName":"Bench","FTPHost":"127.0.0.1","FTPPort":)" +
           std::to_string(port) + R"(,"UserID":")" + TFTPTestServer::User + R"(","Cookie":")" +
           EncryptString(TFTPTestServer::Password, zr::TFTPConnectionAction::PasswordKey) + R"(","Passive":true}})";
}

namespace {

TRunOutcome RunTimed(const std::string& json, const fs::path& work, ILogSink& log, double& seconds) {
    TProject project = TProject::Parse(json, (work / "bench.json").string());
    TVariables variables;
    TRunner runner(project.Actions, variables, log);
    auto started = std::chrono::steady_clock::now();
    TRunOutcome outcome = runner.Run();
    seconds = Seconds(std::chrono::steady_clock::now() - started);
    return outcome;
}

} // namespace

double RunProjectTimed(const std::string& json, const fs::path& work, const fs::path& logFile) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(logFile.c_str(), "w"), &std::fclose);
    if (!out)
        throw std::runtime_error("cannot write " + logFile.string());
    TTextLogSink log(out.get(), false);
    double seconds = 0;
    if (RunTimed(json, work, log, seconds) != TRunOutcome::Succeeded)
        throw std::runtime_error("the project did not succeed; its log is " + logFile.string());
    return seconds;
}

double RunProjectTimed(const std::string& json, const fs::path& work, std::vector<std::string>* lines) {
    TMemoryLogSink log;
    double seconds = 0;
    if (RunTimed(json, work, log, seconds) != TRunOutcome::Succeeded) {
        for (const auto& line : log.Texts())
            std::fprintf(stderr, "%s\n", line.c_str());
        throw std::runtime_error("the project did not succeed");
    }
    if (lines)
        *lines = log.Texts();
    return seconds;
}

double RunLftpTimed(std::uint16_t port, const std::string& commands, const fs::path& work) {
    fs::path script = work / "bench.lftp";
    {
        std::ofstream out(script);
        ::chmod(script.c_str(), 0600);
        out << "set ftp:ssl-allow no\nset ftp:passive-mode on\nset cmd:fail-exit yes\n"
            << "open -u " << TFTPTestServer::User << "," << TFTPTestServer::Password << " -p " << port
            << " 127.0.0.1\n"
            << commands << "\nquit\n";
    }
    auto started = std::chrono::steady_clock::now();
    int status = quillate::testing::RunProcess({"/usr/bin/lftp", "-f", script.string()}, work, work / "lftp.out");
    double seconds = Seconds(std::chrono::steady_clock::now() - started);
    if (status != 0)
        throw std::runtime_error("lftp failed: " + quillate::testing::ReadTextFile(work / "lftp.out"));
    return seconds;
}

double RunRcloneTimed(std::uint16_t port, const fs::path& local, const std::string& remote, const fs::path& work) {
    const fs::path config = work / ("rclone-" + std::to_string(port) + ".conf");
    if (!fs::exists(config)) {
        const fs::path secret = work / "rclone.secret";
        {
            std::ofstream out(secret);
            ::chmod(secret.c_str(), 0600);
            out << TFTPTestServer::Password;
        }
        int status = quillate::testing::RunProcess({"/bin/sh", "-c", "exec /usr/bin/rclone obscure - < rclone.secret"},
                                                   work, work / "rclone.obscured");
        fs::remove(secret);
        std::string obscured = quillate::testing::ReadTextFile(work / "rclone.obscured");
        while (!obscured.empty() && std::isspace(static_cast<unsigned char>(obscured.back())))
            obscured.pop_back();
        if (status != 0 || obscured.empty())
            throw std::runtime_error("rclone obscure failed");
        std::ofstream out(config);
        ::chmod(config.c_str(), 0600);
        out << "[srv]\ntype = ftp\nhost = 127.0.0.1\nport = " << port << "\nuser = " << TFTPTestServer::User
            << "\npass = " << obscured << "\n";
    }
    auto started = std::chrono::steady_clock::now();
    int status = quillate::testing::RunProcess({"/usr/bin/rclone", "--config", config.string(), "sync", local.string(),
                                                "srv:" + remote, "--size-only"},
                                               work, work / "rclone.out");
    double seconds = Seconds(std::chrono::steady_clock::now() - started);
    if (status != 0)
        throw std::runtime_error("rclone failed: " + quillate::testing::ReadTextFile(work / "rclone.out"));
    return seconds;
}

int RunOursChild(const fs::path& projectFile) {
    fs::path logFile = projectFile.parent_path() / "ours.log";
    try {
        zr::RegisterPackage(false);
        double seconds = RunProjectTimed(testing::ReadTextFile(projectFile), projectFile.parent_path(), logFile);
        std::printf("%.4f %.2f %.3f\n", seconds, PeakMB(), CPUSeconds());
        return 0;
    } catch (const std::exception& e) {
        std::string log = fs::exists(logFile) ? testing::ReadTextFile(logFile) : std::string();
        std::printf("%s\n%s\n", log.substr(log.size() - std::min<std::size_t>(log.size(), 4000)).c_str(), e.what());
        return 1;
    }
}

} // namespace quillate::bench
