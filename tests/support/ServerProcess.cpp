#include "support/ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillate::testing {

TTempDir::TTempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    FPath = pattern;
}

TTempDir::~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
}

TSocket::~TSocket() {
    if (FFd >= 0)
        ::close(FFd);
}

std::uint16_t TSocket::LocalPort() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

socklen_t SocketAddress(const std::string& host, std::uint16_t port, sockaddr_storage& address) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        throw std::runtime_error("not a numeric address: " + host);
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    socklen_t length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return length;
}

TSocket BoundSocket(const std::string& host) {
    sockaddr_storage address{};
    socklen_t length = SocketAddress(host, 0, address);
    TSocket socket(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::bind(socket.Fd(), reinterpret_cast<sockaddr*>(&address), length) != 0)
        throw std::runtime_error("binding to " + host + " failed: " + std::strerror(errno));
    return socket;
}

std::uint16_t FindFreePort() {
    return BoundSocket("127.0.0.1").LocalPort();
}

namespace {

bool ProcessAlive(pid_t pid) {
    if (pid <= 0)
        return true;
    int status;
    return ::waitpid(pid, &status, WNOHANG) == 0;
}

} // namespace

bool WaitForPort(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                 pid_t watchedProcess) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    sockaddr_storage address{};
    socklen_t length = SocketAddress(host, port, address);
    while (std::chrono::steady_clock::now() < deadline) {
        TSocket probe(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(probe.Fd(), reinterpret_cast<sockaddr*>(&address), length) == 0)
            return true;
        if (!ProcessAlive(watchedProcess))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string ReadTextFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteTextFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("writing " + path.string() + " failed");
}

int RunProcess(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
               const std::filesystem::path& outputFile) {
    TServerOptions options;
    options.Argv = argv;
    options.WorkDir = workDir;
    options.LogFile = outputFile;
    TServerProcess process;
    process.Start(options);
    return process.Wait();
}

TServerProcess::~TServerProcess() {
    Stop();
}

void TServerProcess::Start(const TServerOptions& options) {
    if (FPid > 0)
        throw std::runtime_error("server already started");
    if (options.Argv.empty())
        throw std::runtime_error("no server command given");
    FOptions = options;

    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool overridden = false;
        for (const auto& [name, value] : options.Environment)
            overridden = overridden || entry.starts_with(name + "=");
        if (!overridden)
            envStrings.push_back(entry);
    }
    for (const auto& [name, value] : options.Environment)
        envStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = options.Argv;
    std::vector<char*> argv;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::string logFile = options.LogFile.empty() ? "/dev/null" : options.LogFile.string();
    std::string workDir = options.WorkDir.string();

    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        ::setpgid(0, 0);
        int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int devNull = ::open("/dev/null", O_RDONLY);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        if (devNull >= 0)
            ::dup2(devNull, 0);
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0)
            ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    FPid = pid;
    ::setpgid(pid, pid); // both sides, so the group exists before either goes on
    if (options.Port != 0 && !WaitForPort(options.Host, options.Port, options.StartTimeout, FPid)) {
        std::string output = Output();
        Stop();
        throw std::runtime_error("server " + options.Argv[0] + " did not accept connections on port " +
                                 std::to_string(options.Port) + "; its output:\n" + output);
    }
}

int TServerProcess::Wait() {
    if (FPid <= 0)
        return -1;
    int status = 0;
    while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void TServerProcess::Stop() {
    if (FPid <= 0)
        return;
    ::kill(-FPid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status;
    while (::waitpid(FPid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-FPid, SIGKILL);
            ::waitpid(FPid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Children that outlived the leader (per-session server processes) go too.
    ::kill(-FPid, SIGKILL);
    FPid = -1;
}

std::string TServerProcess::Output() const {
    if (FOptions.LogFile.empty())
        return {};
    return ReadTextFile(FOptions.LogFile);
}

} // namespace quillate::testing
