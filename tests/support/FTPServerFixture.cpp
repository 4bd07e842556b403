#include "support/FTPServerFixture.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

namespace quillate::testing {

namespace fs = std::filesystem;

namespace {

// "secret" hashed with `openssl passwd -1 -salt quillate secret`.
constexpr const char* PasswordHash = "$1$quillate$xJPkoOMPIZHM1L2UUN4Mp1";
constexpr int StartAttempts = 3;

// A free port can be taken by someone else before the server binds it: each attempt asks
// optionsFor for a fresh one. Returns the port the server listens on.
std::uint16_t StartOnFreePort(TServerProcess& process, const std::string& what,
                              const std::function<TServerOptions(std::uint16_t port)>& optionsFor) {
    std::string lastError;
    for (int attempt = 0; attempt < StartAttempts; ++attempt) {
        std::uint16_t port = FindFreePort();
        try {
            process.Start(optionsFor(port));
            return port;
        } catch (const std::exception& e) {
            lastError = e.what();
        }
    }
    throw std::runtime_error(what + " did not start: " + lastError);
}

std::string Replace(std::string text, const std::string& key, const std::string& value) {
    for (std::size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + value.size()))
        text.replace(pos, key.size(), value);
    return text;
}

} // namespace

fs::path ServersDir() {
    return QUILLATE_TEST_SERVERS_DIR;
}

std::string KindName(TFTPServerKind kind) {
    return kind == TFTPServerKind::skPyftpdlib ? "pyftpdlib" : "ProFTPD";
}

TFTPTestServer::TFTPTestServer(TFTPServerKind kind) : FKind(kind), FDir("quillate-ftp") {
    FHome = FDir.Path() / "home";
    fs::create_directories(FHome);
    fs::create_directories(FDir.Path() / "run");
    // ProFTPD started by root works as nobody: the folders must be reachable and the home
    // writable for that account.
    fs::permissions(FDir.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    if (kind == TFTPServerKind::skProFTPD && ::geteuid() == 0) {
        FUid = 65534;
        FGid = 65534;
        GiveToServer(FHome);
    }
}

TFTPTestServer::~TFTPTestServer() {
    Stop();
}

void TFTPTestServer::GiveToServer(const fs::path& path) {
    if (FUid >= 0 && ::chown(path.c_str(), static_cast<uid_t>(FUid), static_cast<gid_t>(FGid)) != 0)
        throw std::runtime_error("chown " + path.string() + " failed");
}

void TFTPTestServer::MakeDir(const std::string& relativePath) {
    fs::path full = FHome;
    for (const auto& part : fs::path(relativePath)) {
        full /= part;
        if (fs::create_directory(full))
            GiveToServer(full);
    }
}

void TFTPTestServer::PutFile(const std::string& relativePath, const std::string& content) {
    fs::path path = FHome / relativePath;
    if (path.has_parent_path() && path.parent_path() != FHome)
        MakeDir(fs::relative(path.parent_path(), FHome).string());
    WriteTextFile(path, content);
    GiveToServer(path);
}

void TFTPTestServer::Start() {
    FPort = StartOnFreePort(FProcess, KindName(FKind), [this](std::uint16_t port) {
        FPort = port;
        TServerOptions options;
        options.Port = FPort;
        options.WorkDir = FDir.Path();
        options.LogFile = FDir.Path() / "run" / "server.log";
        options.Host = FAddress;
        if (FKind == TFTPServerKind::skPyftpdlib) {
            options.Argv = {"/usr/bin/python3", (ServersDir() / "pyftpd_server.py").string(), "--port",
                            std::to_string(FPort), "--root", FHome.string(), "--user", User, "--password", Password,
                            "--host", FAddress};
            if (FReadLimit > 0)
                options.Argv.insert(options.Argv.end(), {"--read-limit", std::to_string(FReadLimit)});
            if (FWithoutChecksums)
                options.Argv.push_back("--no-xcrc");
            if (FWithoutExtended)
                options.Argv.push_back("--no-extended");
            if (FClockOffset != 0)
                options.Argv.insert(options.Argv.end(), {"--clock-offset", std::to_string(FClockOffset)});
            if (!FTimeZone.empty()) {
                options.Argv.push_back("--local-times");
                options.Environment.emplace_back("TZ", FTimeZone);
            }
        } else {
            std::string user = "nobody", group = "nogroup", defaultRoot = "DefaultRoot ~";
            int uid = 65534, gid = 65534;
            if (::geteuid() != 0) {
                // Without root ProFTPD can neither switch users nor chroot: it runs as us.
                uid = static_cast<int>(::geteuid());
                gid = static_cast<int>(::getegid());
                user = ::getpwuid(::geteuid())->pw_name;
                group = ::getgrgid(::getegid())->gr_name;
                defaultRoot = "";
            }
            std::string conf = ReadTextFile(ServersDir() / "proftpd.conf.in");
            conf = Replace(conf, "@PORT@", std::to_string(FPort));
            conf = Replace(conf, "@DIR@", FDir.Path().string());
            conf = Replace(conf, "@USER@", user);
            conf = Replace(conf, "@GROUP@", group);
            conf = Replace(conf, "@DEFAULT_ROOT@", defaultRoot);
            conf = Replace(conf, "@ADDRESS@", FAddress);
            conf = Replace(conf, "@IPV6@", FAddress.find(':') != std::string::npos ? "on" : "off");
            // TransferRate counts in kilobytes per second.
            if (FReadLimit > 0)
                conf += "TransferRate STOR " + std::to_string(std::max<std::size_t>(FReadLimit / 1024, 1)) + "\n";
            WriteTextFile(FDir.Path() / "proftpd.conf", conf);
            // ProFTPD refuses account files that others can read.
            WriteTextFile(FDir.Path() / "passwd", std::string(User) + ":" + PasswordHash + ":" +
                                                      std::to_string(uid) + ":" + std::to_string(gid) +
                                                      "::" + FHome.string() + ":/bin/false\n");
            WriteTextFile(FDir.Path() / "group", group + ":x:" + std::to_string(gid) + ":\n");
            fs::permissions(FDir.Path() / "passwd", fs::perms::owner_read | fs::perms::owner_write);
            fs::permissions(FDir.Path() / "group", fs::perms::owner_read | fs::perms::owner_write);
            options.Argv = {"/usr/sbin/proftpd", "-n", "-c", (FDir.Path() / "proftpd.conf").string()};
        }
        return options;
    });
}

void TFTPTestServer::Stop() {
    FProcess.Stop();
}

std::vector<std::string> TFTPTestServer::LoggedCommands(std::size_t sessions) const {
    fs::path log = FDir.Path() / "run" / "commands.log";
    std::vector<std::string> commands;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        commands.clear();
        std::error_code ec;
        std::string text = fs::exists(log, ec) ? ReadTextFile(log) : std::string();
        std::size_t start = 0;
        // %h %l %u %t "%r" %s %b: the request is the quoted part after the time stamp.
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            start = end == std::string::npos ? text.size() : end + 1;
            std::size_t open = line.find("] \"");
            std::size_t close = line.rfind("\" ");
            if (open != std::string::npos && close != std::string::npos && close > open + 2)
                commands.push_back(line.substr(open + 3, close - open - 3));
        }
        auto quits = static_cast<std::size_t>(std::count(commands.begin(), commands.end(), "QUIT"));
        if (quits >= sessions || std::chrono::steady_clock::now() >= deadline)
            return commands;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TFTPMagicUserProxy::TFTPMagicUserProxy() : FDir("quillate-ftp-proxy") {
    FPort = StartOnFreePort(FProcess, "ftp-proxy", [this](std::uint16_t port) {
        std::string conf = "[-Global-]\nListen 127.0.0.1\nDestinationAddress 127.0.0.1\nAllowMagicUser yes\n";
        conf += "Port " + std::to_string(port) + "\nPidFile " + (FDir.Path() / "ftp-proxy.pid").string() + "\n";
        WriteTextFile(FDir.Path() / "ftp-proxy.conf", conf);
        TServerOptions options;
        options.Port = port;
        options.WorkDir = FDir.Path();
        options.LogFile = FDir.Path() / "ftp-proxy.log";
        options.Argv = {"/usr/sbin/ftp-proxy", "-d", "-n", "-f", (FDir.Path() / "ftp-proxy.conf").string()};
        return options;
    });
}

TLineScript FTPLogin(const TFTPLogin& login) {
    TLineScript script;
    script.Send("220 line peer ready").Expect("FEAT").Send("211-Features:");
    for (const auto& feature : login.Features)
        script.Send(" " + feature);
    script.Send("211 End");
    if (!login.Host.empty())
        script.Reply("HOST " + login.Host, "220 Host accepted");
    script.Reply("USER " + login.User, "331 Password required")
        .Reply("PASS " + login.Password, "230 Logged in");
    if (std::find(login.Features.begin(), login.Features.end(), "UTF8") != login.Features.end())
        script.Reply("OPTS UTF8 ON", "200 UTF8 on");
    return script.Reply("TYPE I", "200 Type set to I");
}

namespace {

TLineScript Passive(std::string command, std::function<std::string(std::uint16_t port)> reply) {
    return TLineScript().Expect(std::move(command)).Do({}, [reply](TLineSession& s) {
        auto listener = std::make_shared<TSocket>(s.Listen());
        s.Write(s.Control(), reply(listener->LocalPort()) + "\r\n");
        s.OpenData = [&s, listener] { return s.Accept(*listener); };
    });
}

} // namespace

TLineScript FTPEpsv() {
    return Passive("EPSV", [](std::uint16_t port) {
        return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
    });
}

TLineScript FTPPasv(const std::string& announced) {
    return Passive("PASV", [announced](std::uint16_t port) {
        return "227 Entering Passive Mode (" + announced + "," + std::to_string(port / 256) + "," +
               std::to_string(port % 256) + ")";
    });
}

TLineScript FTPEprt(const std::string& intruder) {
    return TLineScript().Do("\"EPRT |1|<client address>|<port>|\"", [intruder](TLineSession& s) {
        std::string line = s.ReadLine();
        std::string client = s.ClientAddress();
        std::string prefix =
            "EPRT |" + std::string(client.find(':') == std::string::npos ? "1" : "2") + "|" + client + "|";
        unsigned port = 0;
        char extra = 0;
        if (!line.starts_with(prefix) || !line.ends_with('|') ||
            std::sscanf(line.c_str() + prefix.size(), "%5u|%c", &port, &extra) != 1 || port == 0 ||
            port > 65535)
            s.Fail("\"" + prefix + "<port>|\"", line);
        s.Write(s.Control(), "200 EPRT command successful\r\n");
        s.OpenData = [&s, intruder, client, port = static_cast<std::uint16_t>(port)] {
            // Closed at once and unused by a client that refuses it; taken, it would hold the upload.
            if (!intruder.empty()) {
                if (std::string taken = s.ReadToEnd(s.Connect(client, port, intruder)); !taken.empty())
                    s.Fail("the data connection from " + intruder + " refused", taken);
            }
            return s.Connect(client, port);
        };
    });
}

TLineScript FTPSendData(std::string bytes) {
    return TLineScript().Do("a data connection", [bytes = std::move(bytes)](TLineSession& s) {
        s.Write(std::exchange(s.OpenData, nullptr)(), bytes);
    });
}

TLineScript FTPReceiveData() {
    return TLineScript().Do("an upload on a data connection", [](TLineSession& s) {
        s.KeepBlock(s.ReadToEnd(std::exchange(s.OpenData, nullptr)()));
    });
}

} // namespace quillate::testing
