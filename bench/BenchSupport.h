// What the FTP benchmarks share: timing, the package's projects and lftp run the same way, and the
// commands each session sent as ProFTPD logged them.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillate::bench {

double Seconds(std::chrono::steady_clock::duration d);
// This process's peak resident size so far (VmHWM), in MB.
double PeakMB();
// This process's processor time so far, user and system, in seconds.
double CPUSeconds();
double Median(std::vector<double> values);
// A measured figure beside the goal it is held to, so that every bench states what it aims at:
//   GoalLine("nothing changed", 0.56, "x", "rclone", 0.5)
//     -> "nothing changed: 0.56x rclone (goal <= 0.5x): MISS"
//   GoalLine("peak memory", 41.2, " MB", "", 64) -> "peak memory: 41.20 MB (goal <= 64 MB): PASS"
// Without a goal (NoGoal) the line ends "(no goal set)"; a figure that was not measured (NaN) gets no
// verdict.
inline constexpr std::optional<double> NoGoal;
std::string GoalLine(std::string_view what, double value, std::string_view unit, std::string_view reference,
                     std::optional<double> atMost);
// Pseudo-random bytes (xorshift), written a MiB at a time so that the bench never holds the file;
// neither compression nor base64 can shrink them. Throws when the file cannot be written.
void WritePseudoRandomFile(const std::filesystem::path& path, int mib);

// "STOR a.bin" -> "STOR".
std::string Verb(const std::string& command);
// The commands of every finished session, in order; a session ends with its QUIT. ProFTPD also logs
// the handler of an OPTS sub-command ("OPTS_UTF8 ON") as a record of its own; those are left out.
std::vector<std::vector<std::string>> Sessions(const std::vector<std::string>& logged);

// An "FTP Connect" action (JSON) opening the connection "Bench" to 127.0.0.1:port in passive mode
// as the test servers' user.
std::string BenchConnectJson(std::uint16_t port);
// Runs a project and returns the seconds it took; a run that does not succeed prints its log and
// throws. lines, when given, receives the log's texts.
double RunProjectTimed(const std::string& json, const std::filesystem::path& work,
                       std::vector<std::string>* lines = nullptr);
// The same with the log written to logFile as quillate writes it, so that a long protocol log takes
// no memory of the run; a run that does not succeed throws.
double RunProjectTimed(const std::string& json, const std::filesystem::path& work,
                       const std::filesystem::path& logFile);
// The side of a bench that re-runs itself with "--ours PROJECT", so that its peak resident size is
// the action's alone: registers the package, runs the project with its protocol log in a file, and
// prints the seconds, the peak resident size in MB and the processor seconds (or the log's end and the
// error; then 1).
int RunOursChild(const std::filesystem::path& projectFile);
// Runs lftp with a script that logs in to 127.0.0.1:port and then runs commands; returns the seconds
// it took and throws when lftp fails. The password goes through the script, never the command line.
double RunLftpTimed(std::uint16_t port, const std::string& commands, const std::filesystem::path& work);
// Runs `rclone sync LOCAL srv:REMOTE --size-only` against 127.0.0.1:port with rclone's default settings
// otherwise; returns the seconds it took and throws when rclone fails. The password reaches rclone
// through its configuration file, never the command line.
double RunRcloneTimed(std::uint16_t port, const std::filesystem::path& local, const std::string& remote,
                      const std::filesystem::path& work);

} // namespace quillate::bench
