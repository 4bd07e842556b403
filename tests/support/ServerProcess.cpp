#include "support/ServerProcess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quillate::testing {

namespace {

using TClock = std::chrono::steady_clock;

// A child's wait status once it has ended, waiting at most until the deadline.
std::optional<int> Reaped(pid_t pid, TClock::time_point deadline) {
    for (int status = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (::waitpid(pid, &status, WNOHANG) != 0)
            return status;
        if (TClock::now() > deadline)
            return std::nullopt;
    }
}

// True once a TCP connection to host:port succeeds within the time-out; false early when the
// watched process (a child of this one) has exited.
bool WaitForPort(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                 pid_t watchedProcess) {
    auto deadline = TClock::now() + timeout;
    sockaddr_storage address{};
    socklen_t length = SocketAddress(host, port, address);
    while (TClock::now() < deadline) {
        TSocket probe(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(probe.Fd(), reinterpret_cast<sockaddr*>(&address), length) == 0)
            return true;
        // WNOWAIT leaves an ended child to be reaped by its owner.
        siginfo_t ended{};
        if (watchedProcess > 0 && ::waitid(P_PID, watchedProcess, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            ended.si_pid != 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace

TTempDir::TTempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    FPath = pattern;
}

TTempDir::~TTempDir() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    // A test may have taken the write permission from a folder; its entries must still go.
    for (fs::recursive_directory_iterator it(FPath, ignored), end; it != end; it.increment(ignored))
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(FPath, ignored);
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

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (auto& c : data)
        c = static_cast<char>(rng() & 0xff);
    return data;
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

std::string ReplaceAll(std::string text, const std::string& key, const std::string& value) {
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
    return text;
}

int RunProcess(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
               const std::filesystem::path& outputFile) {
    TServerProcess process;
    process.Start({.Argv = argv, .WorkDir = workDir, .LogFile = outputFile});
    return process.Wait(std::chrono::hours(1));
}

void TServerProcess::Start(const TServerOptions& options) {
    if (FPid > 0 || options.Argv.empty())
        throw std::runtime_error("the process runs already, or no command was given");
    FOptions = options;
    // env(1) changes the folder and the variables, so no code of ours runs in the child; posix_spawn,
    // unlike fork, is safe while other threads of the test hold locks.
    std::vector<std::string> args{"/usr/bin/env", "-C",
                                  options.WorkDir.empty() ? "." : options.WorkDir.string()};
    for (const auto& [name, value] : options.Environment)
        args.push_back(name + "=" + value);
    args.insert(args.end(), options.Argv.begin(), options.Argv.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    ::posix_spawn_file_actions_init(&files);
    ::posix_spawn_file_actions_addopen(
        &files, 0, options.InputFile.empty() ? "/dev/null" : options.InputFile.c_str(), O_RDONLY, 0);
    for (int fd : {1, 2}) {
        const auto& path = fd == 2 && !options.ErrorFile.empty() ? options.ErrorFile : options.LogFile;
        ::posix_spawn_file_actions_addopen(&files, fd, path.empty() ? "/dev/null" : path.c_str(),
                                           O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    int error = ::posix_spawn(&FPid, argv[0], &files, &attributes, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&files);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        FPid = -1;
        throw std::runtime_error("starting " + options.Argv[0] + " failed: " + std::strerror(error));
    }
    if (options.Port != 0 && !WaitForPort(options.Host, options.Port, options.StartTimeout, FPid)) {
        std::string output = Output();
        Stop();
        throw std::runtime_error("server " + options.Argv[0] + " did not accept connections on port " +
                                 std::to_string(options.Port) + "; its output:\n" + output);
    }
}

int TServerProcess::Wait(std::chrono::milliseconds timeout) {
    std::optional<int> status = FPid > 0 ? Reaped(FPid, TClock::now() + timeout) : std::nullopt;
    if (!status) {
        Stop();
        return -1;
    }
    FPid = -1;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

void TServerProcess::Stop() {
    if (FPid <= 0)
        return;
    ::kill(-FPid, SIGTERM);
    if (!Reaped(FPid, TClock::now() + std::chrono::seconds(5))) {
        ::kill(-FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
    }
    // Children that outlived the leader (per-session server processes) go too.
    ::kill(-FPid, SIGKILL);
    FPid = -1;
}

void TServerProcess::Signal(int signal) {
    if (FPid > 0)
        ::kill(FPid, signal);
}

std::string TServerProcess::Output() const {
    return FOptions.LogFile.empty() ? std::string() : ReadTextFile(FOptions.LogFile);
}

std::uint16_t StartOnFreePort(TServerProcess& process, const std::string& what,
                              const std::function<TServerOptions(std::uint16_t port)>& optionsFor) {
    for (int attempt = 1;; ++attempt) {
        std::uint16_t port = FindFreePort();
        try {
            process.Start(optionsFor(port));
            return port;
        } catch (const std::exception& e) {
            if (attempt == 3)
                throw std::runtime_error(what + " did not start: " + e.what());
        }
    }
}

std::filesystem::path ServersDir() {
    return QUILLATE_TEST_SERVERS_DIR;
}

std::filesystem::path TLSDir() {
    return std::filesystem::path(QUILLATE_TEST_DATA_DIR) / "net" / "tls";
}

} // namespace quillate::testing
