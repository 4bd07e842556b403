// Sends mail with the "Send Email" action and with curl to postfix's smtp-sink, and prints the time
// ratios and our peak memory: (a) one message per recipient in Individual mode against a shell loop
// of curl, one process a message; (b) one message with a big attachment against curl uploading the
// same message already encoded.
//
// Our side runs in a child: the bench starts itself again with "--ours PROJECT", and that process
// only registers the package and runs the project, so its peak resident size (VmHWM) is ours
// and nothing the bench itself generated or measured.
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "package/ZRInternetReg.h"
#include "support/ServerProcess.h"

using namespace quillate;
using namespace quillate::testing;
using namespace quillate::bench;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr int GoalRecipients = 1000;
constexpr int GoalAttachmentMiB = 100;
constexpr double GoalManyRatio = 0.2;
constexpr double GoalBigRatio = 1.1;
constexpr double GoalPeakMB = 64;
constexpr const char* From = "bench@quillate.example";
constexpr const char* Subject = "Quillate benchmark";

std::string Recipient(int i) { return "r" + std::to_string(i) + "@example.org"; }

// 320 lines of 64 bytes with their line end: 20 KiB. No "%" or "$(", which the action would expand.
std::vector<std::string> BodyLines() {
    std::vector<std::string> lines;
    for (int i = 0; i < 320; ++i) {
        char line[80];
        std::snprintf(line, sizeof line, "Line %03d of the benchmark body, the same words in every copy", i);
        lines.emplace_back(line).resize(62, '.');
    }
    return lines;
}

json Address(const std::string& address, const std::string& name, const char* role = nullptr) {
    json properties{{"Address", address}, {"Name", name}};
    if (role)
        properties["AddressType"] = role;
    return {{"type", "email.address"}, {"properties", properties}};
}

std::string SendProject(std::uint16_t port, int mode, const std::vector<std::string>& body,
                        const std::vector<std::string>& attachments, int recipients) {
    json list = json::array();
    for (int i = 1; i <= recipients; ++i)
        list.push_back(Address(Recipient(i), "R" + std::to_string(i)));
    json action{{"type", "action.smtp.send"},
                {"properties",
                 {{"Mode", mode},
                  {"Host", "127.0.0.1"},
                  {"Port", port},
                  {"Subject", Subject},
                  {"BodyObject", body},
                  {"AttachmentsObject", attachments}}},
                {"children",
                 {Address(From, "Quillate Bench", "from"),
                  {{"type", "email.list"}, {"properties", {{"ListType", "recipients"}}}, {"children", list}}}}};
    return json{{"actions", {action}}}.dump();
}

std::string Headers(const std::string& to, const std::string& contentType) {
    return std::string("From: Quillate Bench <") + From + ">\r\nTo: " + to + "\r\nSubject: " + Subject +
           "\r\nMessage-ID: <" + std::to_string(std::hash<std::string>()(to)) +
           "@bench>\r\nMIME-Version: 1.0\r\nContent-Type: " + contentType + "\r\n";
}

// The messages Individual mode sends, one file each, for curl.
void WriteManyMessages(const fs::path& folder, const std::vector<std::string>& body, int recipients) {
    fs::create_directories(folder);
    std::string text;
    for (const auto& line : body)
        text += line + "\r\n";
    for (int i = 1; i <= recipients; ++i) {
        std::ofstream out(folder / (std::to_string(i) + ".eml"), std::ios::binary);
        out << Headers("R" + std::to_string(i) + " <" + Recipient(i) + ">", "text/plain; charset=us-ascii")
            << "Content-Transfer-Encoding: 7bit\r\n\r\n"
            << text;
    }
}

// The message with the attachment, MIME-encoded once before timing: a text part and the file in
// base64 lines of 76 characters, read and written in pieces.
void WriteEncodedMessage(const fs::path& message, const fs::path& attachment) {
    const std::string boundary = "=_quillate_bench_boundary";
    std::ofstream out(message, std::ios::binary);
    out << Headers("R1 <" + Recipient(1) + ">", "multipart/mixed; boundary=\"" + boundary + "\"") << "\r\n--"
        << boundary << "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nThe attachment is below.\r\n--"
        << boundary << "\r\nContent-Type: application/octet-stream; name=\"" << attachment.filename().string()
        << "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\""
        << attachment.filename().string() << "\"\r\n\r\n";
    std::ifstream in(attachment, std::ios::binary);
    constexpr std::size_t LineBytes = 57, Lines = 1024;
    std::vector<unsigned char> raw(LineBytes * Lines);
    std::string encoded(LineBytes / 3 * 4 + 1, '\0'), lines;
    while (in) {
        in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
        auto got = static_cast<std::size_t>(in.gcount());
        lines.clear();
        for (std::size_t pos = 0; pos < got; pos += LineBytes) {
            int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), raw.data() + pos,
                                    static_cast<int>(std::min(LineBytes, got - pos)));
            lines.append(encoded.data(), static_cast<std::size_t>(n)).append("\r\n");
        }
        out << lines;
    }
    out << "--" << boundary << "--\r\n";
}

struct TOurRun {
    double Seconds = 0;
    double PeakMemoryMB = 0;
};

TOurRun RunOurs(const std::string& project, const fs::path& work) {
    fs::path file = work / "ours.json", output = work / "ours.out";
    WriteTextFile(file, project);
    fs::remove(output); // the launcher appends
    int status = RunProcess({fs::read_symlink("/proc/self/exe").string(), "--ours", file.string()}, work, output);
    std::string text = ReadTextFile(output);
    TOurRun run;
    if (status != 0 || std::sscanf(text.c_str(), "%lf %lf", &run.Seconds, &run.PeakMemoryMB) != 2)
        throw std::runtime_error("the action's run failed:\n" + text);
    return run;
}


double RunShellTimed(const fs::path& script, const fs::path& work) {
    fs::remove(work / "curl.out");
    auto started = std::chrono::steady_clock::now();
    int status = RunProcess({"/bin/sh", script.string()}, work, work / "curl.out");
    double seconds = Seconds(std::chrono::steady_clock::now() - started);
    if (status != 0)
        throw std::runtime_error("curl failed: " + ReadTextFile(work / "curl.out"));
    return seconds;
}

std::string CurlCommand(std::uint16_t port, const std::string& recipient, const std::string& file) {
    return "/usr/bin/curl -sS smtp://127.0.0.1:" + std::to_string(port) + " --mail-from " + From + " --mail-rcpt " +
           recipient + " --upload-file " + file + "\n";
}

// smtp-sink's running count of messages (its -c counters), read until it reaches the expected one.
int SinkMessages(const TServerProcess& sink, int expected) {
    static const std::regex counter("mesg=(\\d+)");
    int seen = -1;
    for (int attempt = 0; attempt < 100 && seen < expected; ++attempt) {
        std::string output = sink.Output();
        for (std::sregex_iterator it(output.begin(), output.end(), counter), end; it != end; ++it)
            seen = std::stoi((*it)[1]);
        if (seen < expected)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return seen;
}

} // namespace

// Usage: smtp_send [RECIPIENTS [ATTACHMENT_MIB [ROUNDS]]] (1000, 100, 3); each round runs both
// tools on both cases and the medians are compared.
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--ours")
        return RunOursChild(argv[2]);
    try {
        int recipients = argc > 1 ? std::max(1, std::atoi(argv[1])) : GoalRecipients;
        int mib = argc > 2 ? std::max(1, std::atoi(argv[2])) : GoalAttachmentMiB;
        int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
        TTempDir work("quillate-bench");
        const fs::path& dir = work.Path();

        TServerProcess sink;
        std::uint16_t port = StartOnFreePort(sink, "smtp-sink", [&](std::uint16_t p) {
            TServerOptions options;
            options.Argv = {"/usr/sbin/smtp-sink", "-c"};
            if (::geteuid() == 0)
                options.Argv.insert(options.Argv.end(), {"-u", "nobody"});
            options.Argv.insert(options.Argv.end(), {"127.0.0.1:" + std::to_string(p), "256"});
            options.LogFile = dir / "sink.log";
            options.Port = p;
            return options;
        });

        auto body = BodyLines();
        WriteManyMessages(dir / "many", body, recipients);
        std::string loop = "set -e\n";
        for (int i = 1; i <= recipients; ++i)
            loop += CurlCommand(port, Recipient(i), (dir / "many" / (std::to_string(i) + ".eml")).string());
        WriteTextFile(dir / "many.sh", loop);
        fs::path attachment = dir / "attachment.bin";
        WritePseudoRandomFile(attachment, mib);
        WriteEncodedMessage(dir / "big.eml", attachment);
        WriteTextFile(dir / "big.sh", "set -e\n" + CurlCommand(port, Recipient(1), (dir / "big.eml").string()));
        std::string manyProject = SendProject(port, 1, body, {}, recipients);
        std::string bigProject = SendProject(port, 0, {"The attachment is below."}, {attachment.string()}, 1);

        std::printf("smtp_send: smtp-sink on port %u, %d rounds\n", port, rounds);
        if (recipients != GoalRecipients || mib != GoalAttachmentMiB)
            std::printf("the time goals are set for %d recipients and %d MiB: other sizes are reported without "
                        "them\n",
                        GoalRecipients, GoalAttachmentMiB);
        std::vector<double> manyOurs, manyCurl, bigOurs, bigCurl;
        double manyPeak = 0, bigPeak = 0;
        int expected = 0;
        bool received = true;
        auto arrived = [&](int messages) {
            expected += messages;
            received = SinkMessages(sink, expected) == expected && received;
        };
        for (int round = 1; round <= rounds; ++round) {
            TOurRun many = RunOurs(manyProject, dir);
            arrived(recipients);
            manyCurl.push_back(RunShellTimed(dir / "many.sh", dir));
            arrived(recipients);
            TOurRun big = RunOurs(bigProject, dir);
            arrived(1);
            bigCurl.push_back(RunShellTimed(dir / "big.sh", dir));
            arrived(1);
            manyOurs.push_back(many.Seconds);
            bigOurs.push_back(big.Seconds);
            manyPeak = std::max(manyPeak, many.PeakMemoryMB);
            bigPeak = std::max(bigPeak, big.PeakMemoryMB);
            std::printf("  round %d: (a) action %.2f s, curl loop %.2f s; (b) action %.2f s, curl %.2f s\n", round,
                        many.Seconds, manyCurl.back(), big.Seconds, bigCurl.back());
        }

        auto timeGoal = [](bool goalSize, double goal) { return goalSize ? std::optional(goal) : NoGoal; };
        double manyRatio = Median(manyOurs) / Median(manyCurl), bigRatio = Median(bigOurs) / Median(bigCurl);
        std::printf("(a) %d recipients, Individual mode, %zu-byte body, one connection against one curl a message\n",
                    recipients, body.size() * 64);
        std::printf("  %s\n", GoalLine("time", manyRatio, "x", "curl loop",
                                       timeGoal(recipients == GoalRecipients, GoalManyRatio))
                                  .c_str());
        std::printf("  %s\n", GoalLine("peak memory", manyPeak, " MB", "", GoalPeakMB).c_str());
        std::printf("(b) one message with a %d MiB attachment, our MIME encoding included, against curl of the "
                    "encoded message\n",
                    mib);
        std::printf("  %s\n",
                    GoalLine("time", bigRatio, "x", "curl", timeGoal(mib == GoalAttachmentMiB, GoalBigRatio))
                        .c_str());
        std::printf("  %s\n", GoalLine("peak memory", bigPeak, " MB", "", GoalPeakMB).c_str());
        std::printf("  every message reached the sink: %s\n", received ? "yes" : "NO");
        return received ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "smtp_send: %s\n", e.what());
        return 1;
    }
}
