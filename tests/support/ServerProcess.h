// Test-fixture helpers: free ports, sockets, temporary folders, and the one launcher for child
// processes (servers, and programs a test runs to their end).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace quillate::testing {

// A fresh folder under the system temporary folder, removed with everything in it.
class TTempDir {
public:
    explicit TTempDir(const std::string& prefix = "quillate");
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }

private:
    std::filesystem::path FPath;
};

// A socket, closed with its owner.
class TSocket {
public:
    explicit TSocket(int fd = -1) : FFd(fd) {}
    TSocket(TSocket&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
    TSocket& operator=(TSocket&& other) noexcept {
        std::swap(FFd, other.FFd);
        return *this;
    }
    ~TSocket();
    int Fd() const { return FFd; }
    std::uint16_t LocalPort() const;

private:
    int FFd;
};

// The address of a numeric host ("127.0.0.1", "::1") and port; returns its length.
socklen_t SocketAddress(const std::string& host, std::uint16_t port, sockaddr_storage& address);
// A TCP socket bound to a free port of a numeric host.
TSocket BoundSocket(const std::string& host);

// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t FindFreePort();

// An environment variable set (or unset, for nullptr) for the life of the object; TZ takes effect
// at once.
class TScopedEnvironment {
public:
    TScopedEnvironment(const char* name, const char* value) : FName(name) {
        if (const char* old = std::getenv(name))
            FSaved = old;
        Set(value);
    }
    ~TScopedEnvironment() { Set(FSaved ? FSaved->c_str() : nullptr); }
    TScopedEnvironment(const TScopedEnvironment&) = delete;
    TScopedEnvironment& operator=(const TScopedEnvironment&) = delete;

    void Set(const char* value) {
        value ? ::setenv(FName.c_str(), value, 1) : ::unsetenv(FName.c_str());
        ::tzset();
    }

private:
    std::string FName;
    std::optional<std::string> FSaved;
};

std::string ReadTextFile(const std::filesystem::path& path);
void WriteTextFile(const std::filesystem::path& path, const std::string& text);
// size bytes of every value, the same for the same seed.
std::string RandomBytes(std::size_t size, unsigned seed);
// The text with every `key` in it replaced by `value`.
std::string ReplaceAll(std::string text, const std::string& key, const std::string& value);

// Runs a program to its end (argv[0] is a path); returns its exit status, or -1 when it was killed.
// Its output goes to outputFile when given.
int RunProcess(const std::vector<std::string>& argv, const std::filesystem::path& workDir = {},
               const std::filesystem::path& outputFile = {});

struct TServerOptions {
    std::vector<std::string> Argv{};
    std::filesystem::path WorkDir{};
    std::vector<std::pair<std::string, std::string>> Environment{}; // added to the current one
    std::filesystem::path LogFile{};   // stdout, and stderr unless ErrorFile is given
    std::filesystem::path ErrorFile{}; // stderr
    std::filesystem::path InputFile{}; // stdin; empty: nothing
    std::string Host = "127.0.0.1";
    std::uint16_t Port = 0; // polled until it accepts
    std::chrono::milliseconds StartTimeout{10000};
};

// A child process in its own process group; Stop (or the destructor) ends the group and waits for
// the child.
class TServerProcess {
public:
    TServerProcess() = default;
    ~TServerProcess() { Stop(); }
    TServerProcess(const TServerProcess&) = delete;
    TServerProcess& operator=(const TServerProcess&) = delete;

    // Throws std::runtime_error, with the server's output, when it does not come up in time.
    void Start(const TServerOptions& options);
    void Stop();
    // Waits for the process to end by itself, and ends it after the time-out; its exit status, or
    // -1 when a signal ended it.
    int Wait(std::chrono::milliseconds timeout = std::chrono::minutes(1));
    void Signal(int signal);
    std::string Output() const;

private:
    pid_t FPid = -1;
    TServerOptions FOptions;
};

// Starts the process with the options made for a free port, trying again with another one when the
// port was taken between FindFreePort and the server's bind; returns the port.
std::uint16_t StartOnFreePort(TServerProcess& process, const std::string& what,
                              const std::function<TServerOptions(std::uint16_t port)>& optionsFor);

// The servers and peers of tests/servers, and the test certificate's folder (server.pem, server.key).
std::filesystem::path ServersDir();
std::filesystem::path TLSDir();

// What a fixture of one server holds: a temporary folder of its own, the server's process (ended
// before the folder goes) and the port it listens on. A fixture's Start throws when its server does
// not come up: a missing server is a failure, never a skip.
class TServerFixture {
public:
    explicit TServerFixture(const std::string& prefix) : FDir(prefix) {}
    std::uint16_t Port() const { return FPort; }
    void Stop() { FProcess.Stop(); }
    // What the server wrote to its log so far.
    std::string Output() const { return FProcess.Output(); }

protected:
    // A server started in the folder, with its output in `log` there, and waited for on host:port.
    TServerOptions ServerOptions(std::vector<std::string> argv, std::uint16_t port,
                                 const std::string& log = "server.log",
                                 const std::string& host = "127.0.0.1") const {
        return {.Argv = std::move(argv),
                .WorkDir = FDir.Path(),
                .LogFile = FDir.Path() / log,
                .Host = host,
                .Port = port,
                .StartTimeout = std::chrono::seconds(30)};
    }

    TTempDir FDir;
    TServerProcess FProcess;
    std::uint16_t FPort = 0;
};

} // namespace quillate::testing
