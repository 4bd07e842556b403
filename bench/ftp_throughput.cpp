// Uploads and downloads one large file (1 GiB unless told otherwise) over loopback, with TFTPClient
// (binary, passive) and with curl, and prints the median times, the time ratios, the throughput and
// the CPU time each client spends per GiB: first plain FTP to one ProFTPD, then FTP over TLS (AUTH
// TLS, protected data, curl --ssl-reqd) to another that insists on resumed data sessions. Plain FTP
// with 1 GiB is held to at most 0.8x curl's time each way; the TLS row has no goal.
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ftp/ZRFTPConnection.h"
#include "net/FTPClient.h"
#include "support/FTPServerFixture.h"

using namespace quillate::testing;
using namespace quillate::bench;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t GiB = 1024 * MiB;
constexpr std::size_t ChunkSize = 1 << 20;

enum class TTool { tOurs, tCurl };

const char* ToolName(TTool tool) { return tool == TTool::tOurs ? "ours" : "curl"; }

struct TOptions {
    std::uint64_t Size = GiB;
    int Rounds = 3;
};

// "1G", "64M", "512K" or a byte count.
std::uint64_t ParseSize(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str())
        throw std::runtime_error("unreadable size \"" + text + "\"");
    std::string unit(end);
    std::uint64_t factor = 1;
    if (unit == "K" || unit == "KiB")
        factor = 1024;
    else if (unit == "M" || unit == "MiB")
        factor = MiB;
    else if (unit == "G" || unit == "GiB")
        factor = GiB;
    else if (!unit.empty())
        throw std::runtime_error("unknown size unit \"" + unit + "\"");
    if (value == 0)
        throw std::runtime_error("the size must be above zero");
    return value * factor;
}

TOptions ParseOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        auto takeValue = [&](const std::string& name) {
            if (arg.rfind(name + "=", 0) == 0) {
                value = arg.substr(name.size() + 1);
                return true;
            }
            if (arg == name) {
                if (i + 1 >= argc)
                    throw std::runtime_error(name + " needs a value");
                value = argv[++i];
                return true;
            }
            return false;
        };
        if (takeValue("--size"))
            options.Size = ParseSize(value);
        else if (takeValue("--rounds"))
            options.Rounds = std::max(1, std::atoi(value.c_str()));
        else
            throw std::runtime_error("usage: ftp_throughput [--size 1G|64M|...] [--rounds N]");
    }
    return options;
}

class TFd {
public:
    TFd(const fs::path& path, int flags) : FFd(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
        if (FFd < 0)
            throw std::runtime_error("open " + path.string() + ": " + std::strerror(errno));
    }
    ~TFd() { ::close(FFd); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

// Incompressible bytes from a fixed seed, so every run moves the same file. Returns its CRC-32.
std::uint32_t GenerateFile(const fs::path& path, std::uint64_t size) {
    TFd file(path, O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<std::uint64_t> block(ChunkSize / sizeof(std::uint64_t));
    std::uint64_t state = 0x5eed2024;
    uLong crc = crc32(0, nullptr, 0);
    for (std::uint64_t done = 0; done < size;) {
        for (auto& word : block) {
            // splitmix64
            std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
        auto n = static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, size - done));
        const char* bytes = reinterpret_cast<const char*>(block.data());
        crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(n));
        for (std::size_t written = 0; written < n;) {
            ssize_t w = ::write(file.Get(), bytes + written, n - written);
            if (w < 0)
                throw std::runtime_error("write " + path.string() + ": " + std::strerror(errno));
            written += static_cast<std::size_t>(w);
        }
        done += n;
    }
    return static_cast<std::uint32_t>(crc);
}

std::uint32_t FileCRC(const fs::path& path) {
    TFd file(path, O_RDONLY);
    std::vector<char> buffer(ChunkSize);
    uLong crc = crc32(0, nullptr, 0);
    for (;;) {
        ssize_t n = ::read(file.Get(), buffer.data(), buffer.size());
        if (n < 0)
            throw std::runtime_error("read " + path.string() + ": " + std::strerror(errno));
        if (n == 0)
            return static_cast<std::uint32_t>(crc);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(n));
    }
}

// A transfer that lost or added bytes must not pass as a fast one.
void CheckFile(const fs::path& path, std::uint64_t size, const std::uint32_t* crc, const std::string& what) {
    std::error_code ec;
    std::uintmax_t actual = fs::file_size(path, ec);
    if (ec || actual != size)
        throw std::runtime_error(what + ": " + path.string() + " has " + (ec ? ec.message() : std::to_string(actual)) +
                                 " bytes instead of " + std::to_string(size));
    if (crc != nullptr && FileCRC(path) != *crc)
        throw std::runtime_error(what + ": " + path.string() + " differs from the source");
}

// who: RUSAGE_SELF for our client, RUSAGE_CHILDREN for curl once it has been waited for.
double CPUSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    ::getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string LoadAverage() {
    std::string text = ReadTextFile("/proc/loadavg");
    std::size_t third = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return text.substr(0, third);
}

struct TMeasure {
    double Seconds = 0;
    double CPU = 0; // user+sys of the client doing the transfer
};

// The test CA, which signs the certificate of the TLS server.
const std::string CAFile = std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/ca.pem";

class TBench {
public:
    TBench(const TFTPTestServer& server, const fs::path& work, bool tls)
        : FServer(server), FWork(work), FTLS(tls) {}

    TMeasure Upload(TTool tool, const fs::path& source, const std::string& remote) {
        fs::remove(FServer.Home() / remote);
        Settle();
        if (tool == TTool::tCurl)
            return RunCurl({"-T", source.string(), Url(remote)});
        return RunOurs([&](zr::net::TFTPClient& client) { client.Put(source.string(), remote); });
    }

    TMeasure Download(TTool tool, const std::string& remote, const fs::path& target) {
        fs::remove(target);
        Settle();
        if (tool == TTool::tCurl)
            return RunCurl({"-o", target.string(), Url(remote)});
        return RunOurs([&](zr::net::TFTPClient& client) {
            quillate::TLocalFolder folder(target.parent_path().string());
            zr::DownloadToLocalFolder(client, remote, folder, target.filename().string(), true, false);
        });
    }

private:
    // Dirty pages of the previous transfer are written back now rather than during the next one.
    static void Settle() { ::sync(); }

    std::string Url(const std::string& remote) const {
        return "ftp://" + std::string(TFTPTestServer::User) + ":" + TFTPTestServer::Password + "@127.0.0.1:" +
               std::to_string(FServer.Port()) + "/" + remote;
    }

    // Login and goodbye are timed too, as curl's are.
    template <class Transfer> TMeasure RunOurs(Transfer&& transfer) {
        zr::net::TFTPClient client;
        client.Host = "127.0.0.1";
        client.Port = FServer.Port();
        client.Username = TFTPTestServer::User;
        client.Password = TFTPTestServer::Password;
        client.Passive = true;
        client.SetTransferType(zr::net::TFTPTransferType::ftBinary);
        if (FTLS)
            client.Security = zr::net::TFTPSecurity::fsExplicit;
        double cpu = CPUSeconds();
        auto started = std::chrono::steady_clock::now();
        client.Connect();
        transfer(client);
        client.Disconnect();
        TMeasure m;
        m.Seconds = Seconds(std::chrono::steady_clock::now() - started);
        m.CPU = CPUSeconds() - cpu;
        return m;
    }

    TMeasure RunCurl(const std::vector<std::string>& transferArgs) {
        std::vector<std::string> argv = {"/usr/bin/curl", "-sS"};
        if (FTLS)
            argv.insert(argv.end(), {"--ssl-reqd", "--cacert", CAFile});
        argv.insert(argv.end(), transferArgs.begin(), transferArgs.end());
        fs::path output = FWork / "curl.out";
        // The server is a child too, but it is only waited for at the end: the difference is curl's.
        double cpu = CPUSeconds(RUSAGE_CHILDREN);
        auto started = std::chrono::steady_clock::now();
        int status = RunProcess(argv, FWork, output);
        TMeasure m;
        m.Seconds = Seconds(std::chrono::steady_clock::now() - started);
        m.CPU = CPUSeconds(RUSAGE_CHILDREN) - cpu;
        if (status != 0)
            throw std::runtime_error("curl failed (" + std::to_string(status) + "): " + ReadTextFile(output));
        return m;
    }

    const TFTPTestServer& FServer;
    fs::path FWork;
    bool FTLS;
};

struct TDirectionResults {
    std::vector<double> Ours, Curl;
    double OursCPU = 0, CurlCPU = 0;
};

constexpr double GoalRatio = 0.8;

void PrintDirection(const char* name, const TDirectionResults& r, std::uint64_t size,
                    std::optional<double> goal) {
    double mib = static_cast<double>(size) / static_cast<double>(MiB);
    double ours = Median(r.Ours), curl = Median(r.Curl);
    std::printf("  %-8s ours %7.3f s (%7.1f MiB/s)   curl %7.3f s (%7.1f MiB/s)\n", name, ours, mib / ours,
                curl, mib / curl);
    std::printf("    %s\n", GoalLine(name, ours / curl, "x", "curl", goal).c_str());
}

// Each round moves the file once per tool and direction, the tool that goes first alternating; the
// medians keep a busy machine's noise out.
void RunRow(bool tls, const TOptions& options, const fs::path& work, const fs::path& source,
            std::uint32_t sourceCRC) {
    TFTPTestServer server(TFTPServerKind::skProFTPD);
    if (tls)
        server.SetTLS(TFTPServerTLS::stExplicit);
    server.Start();
    std::printf("%s: ProFTPD on 127.0.0.1:%u, %d rounds, load %s\n", tls ? "FTP over TLS" : "plain FTP",
                server.Port(), options.Rounds, LoadAverage().c_str());
    TBench bench(server, work, tls);
    TDirectionResults up, down;
    for (int round = 1; round <= options.Rounds; ++round) {
        TTool first = round % 2 ? TTool::tOurs : TTool::tCurl;
        TTool second = first == TTool::tOurs ? TTool::tCurl : TTool::tOurs;
        bool checkBytes = round == 1;
        std::printf("  round %d (%s first):", round, ToolName(first));
        for (TTool tool : {first, second}) {
            std::string remote = std::string(ToolName(tool)) + ".bin";
            TMeasure m = bench.Upload(tool, source, remote);
            CheckFile(server.Home() / remote, options.Size, checkBytes ? &sourceCRC : nullptr,
                      std::string(ToolName(tool)) + " upload");
            (tool == TTool::tOurs ? up.Ours : up.Curl).push_back(m.Seconds);
            (tool == TTool::tOurs ? up.OursCPU : up.CurlCPU) += m.CPU;
            std::printf(" up %s %.3f s,", ToolName(tool), m.Seconds);
            std::fflush(stdout);
        }
        for (TTool tool : {first, second}) {
            std::string remote = std::string(ToolName(tool)) + ".bin";
            fs::path target = work / (std::string(ToolName(tool)) + ".down");
            TMeasure m = bench.Download(tool, remote, target);
            CheckFile(target, options.Size, checkBytes ? &sourceCRC : nullptr,
                      std::string(ToolName(tool)) + " download");
            (tool == TTool::tOurs ? down.Ours : down.Curl).push_back(m.Seconds);
            (tool == TTool::tOurs ? down.OursCPU : down.CurlCPU) += m.CPU;
            std::printf(" down %s %.3f s%s", ToolName(tool), m.Seconds, tool == second ? "\n" : ",");
            std::fflush(stdout);
        }
    }

    std::printf("  medians (ratio below 1.0: ours is faster):\n");
    const std::optional<double> goal = !tls && options.Size == GiB ? std::optional(GoalRatio) : NoGoal;
    PrintDirection("upload", up, options.Size, goal);
    PrintDirection("download", down, options.Size, goal);
    double gib = static_cast<double>(options.Size) * options.Rounds / static_cast<double>(GiB);
    std::printf("  our CPU (user+sys): upload %.3f s/GiB, download %.3f s/GiB\n", up.OursCPU / gib,
                down.OursCPU / gib);
    std::printf("  curl's CPU, for comparison: upload %.3f s/GiB, download %.3f s/GiB\n", up.CurlCPU / gib,
                down.CurlCPU / gib);
    for (const char* name : {"ours.bin", "curl.bin"})
        fs::remove(server.Home() / name);
    for (const char* name : {"ours.down", "curl.down"})
        fs::remove(work / name);
}

} // namespace

// Usage: ftp_throughput [--size 1G] [--rounds 3].
int main(int argc, char** argv) {
    try {
        TOptions options = ParseOptions(argc, argv);
        TTempDir work("quillate-bench");
        fs::path source = work.Path() / "source.bin";
        std::uint32_t sourceCRC = GenerateFile(source, options.Size);
        // Our client trusts the test CA the way curl's --cacert does.
        ::setenv("SSL_CERT_FILE", CAFile.c_str(), 1);
        std::printf("ftp_throughput: %llu bytes (%.0f MiB)\n", static_cast<unsigned long long>(options.Size),
                    static_cast<double>(options.Size) / static_cast<double>(MiB));
        if (options.Size != GiB)
            std::printf("the time goals are set for 1 GiB: this size is reported without them\n");
        for (bool tls : {false, true})
            RunRow(tls, options, work.Path(), source, sourceCRC);
        std::printf("every transfer had the full size; round 1 matched the source's CRC-32 %08x; load %s\n",
                    sourceCRC, LoadAverage().c_str());
        fs::remove(source);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftp_throughput: %s\n", e.what());
        return 1;
    }
}
