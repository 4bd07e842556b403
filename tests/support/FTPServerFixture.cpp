#include "support/FTPServerFixture.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <grp.h>
#include <pwd.h>
#include <regex>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace quillate::testing {

namespace fs = std::filesystem;

namespace {

// "secret" hashed with `openssl passwd -1 -salt quillate secret`.
constexpr const char* PasswordHash = "$1$quillate$xJPkoOMPIZHM1L2UUN4Mp1";
// Unpacked there by scripts/bootstrap: the packages conflict with proftpd-core.
const fs::path PureFTPdDir = "/usr/local/lib/quillate/pure-ftpd/usr";
const fs::path VsftpdProgram = "/usr/local/lib/quillate/vsftpd/usr/sbin/vsftpd";

} // namespace

std::string KindName(TFTPServerKind kind) {
    static const char* const names[] = {"pyftpdlib", "ProFTPD", "Pure-FTPd", "vsftpd"};
    return names[static_cast<int>(kind)];
}

TFTPTestServer::TFTPTestServer(TFTPServerKind kind)
    : TServerFixture("quillate-ftp"), FKind(kind),
      FHome(kind == TFTPServerKind::skVsftpd ? FDir.Path() / "root" / "pub" : FDir.Path() / "home"),
      FAsNobody(kind != TFTPServerKind::skPyftpdlib && ::geteuid() == 0) {
    fs::create_directories(FDir.Path() / "run");
    // ProFTPD and Pure-FTPd started by root work as nobody, vsftpd's anonymous user as "ftp": the folders
    // must be reachable and the home writable for that account.
    fs::permissions(FDir.Path(),
                    fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec,
                    fs::perm_options::add);
    if (kind == TFTPServerKind::skVsftpd) {
        const passwd* account = ::getpwnam("ftp");
        if (account == nullptr)
            throw std::runtime_error("vsftpd needs the account \"ftp\" (made by the proftpd-core package)");
        FOwner = account->pw_uid;
        // vsftpd refuses a root its anonymous user could write to.
        fs::create_directories(FDir.Path() / "root");
        fs::create_directories(FDir.Path() / "empty");
    }
    fs::create_directory(FHome);
    GiveToServer(FHome);
}

void TFTPTestServer::GiveToServer(const fs::path& path) {
    if (FAsNobody && ::chown(path.c_str(), FOwner, 65534) != 0)
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

TServerOptions TFTPTestServer::PureFTPdOptions(std::uint16_t port) const {
    const fs::path& dir = FDir.Path();
    return ServerOptions({PureFTPdDir / "sbin" / "pure-ftpd", "--bind", FAddress + "," + std::to_string(port),
                          "--login", "puredb:" + (dir / "pureftpd.pdb").string(), "--noanonymous",
                          "--dontresolve", "--chrooteveryone",
                          // Without it LIST -R stops quietly five folders down.
                          "--limitrecursion", "100000:100",
                          // Its only log is syslog, which the tests do not read.
                          "--syslogfacility", "none", "--pidfile", dir / "run" / "pure-ftpd.pid"},
                         port, "run/server.log", FAddress);
}

TServerOptions TFTPTestServer::VsftpdOptions(std::uint16_t port) const {
    const fs::path& dir = FDir.Path();
    // As shipped otherwise: no recursive listings, dot-files shown to "LIST -a" only.
    std::string conf = "listen=YES\nbackground=NO\nlisten_address=" + FAddress +
                       "\nlisten_port=" + std::to_string(port) +
                       "\nanonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root=" +
                       (dir / "root").string() +
                       "\nwrite_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
                       "anon_other_write_enable=YES\nanon_umask=022\nseccomp_sandbox=NO\n"
                       "secure_chroot_dir=" +
                       (dir / "empty").string() +
                       "\nmax_clients=0\nmax_per_ip=0\nxferlog_enable=NO\n"
                       "vsftpd_log_file=" +
                       (dir / "run" / "vsftpd.log").string() + "\n";
    WriteTextFile(dir / "vsftpd.conf", conf);
    return ServerOptions({VsftpdProgram, dir / "vsftpd.conf"}, port, "run/server.log", FAddress);
}

void TFTPTestServer::Start() {
    if (FKind == TFTPServerKind::skPureFTPd || FKind == TFTPServerKind::skVsftpd) {
        if (!FAsNobody)
            throw std::runtime_error(KindName(FKind) + " needs root: as another user it refuses every login");
        if (FTLS != TFTPServerTLS::stNone || FReadLimit > 0)
            throw std::invalid_argument("the " + KindName(FKind) +
                                        " fixture serves neither TLS nor a read limit");
    }
    if (FKind == TFTPServerKind::skPureFTPd) {
        // The virtual user, in pure-pw's text form ("/./" ends a home the user is locked in), compiled
        // into the database the server reads.
        fs::path passwd = FDir.Path() / "pureftpd.passwd";
        WriteTextFile(passwd, std::string(User) + ":" + PasswordHash + ":65534:65534::" + FHome.string() +
                                  "/./::::::::::::\n");
        if (RunProcess({PureFTPdDir / "bin" / "pure-pw", "mkdb", FDir.Path() / "pureftpd.pdb", "-f", passwd},
                       FDir.Path(), FDir.Path() / "run" / "pure-pw.log") != 0)
            throw std::runtime_error("pure-pw mkdb failed: " +
                                     ReadTextFile(FDir.Path() / "run" / "pure-pw.log"));
    }
    FPort = StartOnFreePort(FProcess, KindName(FKind), [this](std::uint16_t port) {
        if (FKind == TFTPServerKind::skVsftpd)
            return VsftpdOptions(port);
        if (FKind == TFTPServerKind::skPureFTPd)
            return PureFTPdOptions(port);
        if (FKind == TFTPServerKind::skPyftpdlib) {
            bool hostile = !FHostile.empty();
            TServerOptions options = ServerOptions(
                {"/usr/bin/python3", ServersDir() / (hostile ? "hostile_ftpd.py" : "pyftpd_server.py"),
                 "--port", std::to_string(port), "--root", FHome, "--user", User, "--password", Password,
                 "--host", FAddress},
                port, "run/server.log", FAddress);
            if (hostile) {
                options.Argv.push_back("--mode");
                options.Argv.insert(options.Argv.end(), FHostile.begin(), FHostile.end());
                return options;
            }
            if (FTLS != TFTPServerTLS::stNone) {
                if (FTLS == TFTPServerTLS::stImplicit)
                    throw std::invalid_argument("pyftpdlib serves explicit TLS only");
                options.Argv.insert(options.Argv.end(),
                                    {"--tls-cert", TLSDir() / "server.pem", "--tls-key",
                                     TLSDir() / "server.key", "--tls-protocol", FTLSProtocol});
            }
            options.Argv.insert(options.Argv.end(),
                                {"--read-limit", std::to_string(FReadLimit), "--cut-upload-after",
                                 std::to_string(FUploadCut), "--clock-offset", std::to_string(FClockOffset)});
            for (auto [flag, on] : {std::pair{"--no-xcrc", FWithoutChecksums},
                                    {"--no-extended", FWithoutExtended},
                                    {"--local-times", !FTimeZone.empty()}})
                if (on)
                    options.Argv.push_back(flag);
            if (!FTimeZone.empty())
                options.Environment.emplace_back("TZ", FTimeZone);
            return options;
        }
        // Without root ProFTPD can neither switch users nor chroot: it runs as us.
        bool root = ::geteuid() == 0;
        std::string uid = std::to_string(root ? 65534 : ::geteuid()),
                    gid = std::to_string(root ? 65534 : ::getegid());
        std::string group = root ? "nogroup" : ::getgrgid(::getegid())->gr_name;
        std::string conf = ReadTextFile(ServersDir() / "proftpd.conf.in");
        for (const auto& [key, value] : std::initializer_list<std::pair<std::string, std::string>>{
                 {"@PORT@", std::to_string(port)},
                 {"@DIR@", FDir.Path()},
                 {"@USER@", root ? "nobody" : ::getpwuid(::geteuid())->pw_name},
                 {"@GROUP@", group},
                 {"@DEFAULT_ROOT@", root ? "DefaultRoot ~" : ""},
                 {"@ADDRESS@", FAddress},
                 {"@IPV6@", FAddress.find(':') != std::string::npos ? "on" : "off"}})
            conf = ReplaceAll(conf, key, value);
        // ProFTPD reads its key and account files as root, and refuses them when others can read them.
        auto writePrivate = [this](const std::string& file, const std::string& text) {
            WriteTextFile(FDir.Path() / file, text);
            fs::permissions(FDir.Path() / file, fs::perms::owner_read | fs::perms::owner_write);
        };
        if (FTLS != TFTPServerTLS::stNone) {
            for (const char* file : {"server.pem", "server.key"})
                writePrivate(file, ReadTextFile(TLSDir() / file));
            conf += "LoadModule mod_tls.c\nTLSEngine on\nTLSRequired on\nTLSVerifyClient off\n"
                    "TLSProtocol " +
                    (FTLSProtocol.empty() ? std::string("TLSv1.2 TLSv1.3") : FTLSProtocol) +
                    "\nTLSECCertificateFile " + (FDir.Path() / "server.pem").string() +
                    "\nTLSECCertificateKeyFile " + (FDir.Path() / "server.key").string() + "\nTLSLog " +
                    (FDir.Path() / "run" / "tls.log").string() + "\n";
            if (FTLS == TFTPServerTLS::stImplicit)
                conf += "TLSOptions UseImplicitSSL\n";
        }
        // TransferRate counts in kilobytes per second.
        if (FReadLimit > 0)
            conf += "TransferRate STOR " + std::to_string(std::max<std::size_t>(FReadLimit / 1024, 1)) + "\n";
        if (FMaxClientsPerUser > 0)
            conf += "MaxClientsPerUser " + std::to_string(FMaxClientsPerUser) + "\n";
        if (!FDeniedCommands.empty())
            conf += "<Limit " + FDeniedCommands + ">\nDenyAll\n</Limit>\n";
        if (!FDeniedNames.empty())
            conf += "PathDenyFilter \"" + FDeniedNames + "\"\n";
        WriteTextFile(FDir.Path() / "proftpd.conf", conf);
        writePrivate("passwd", std::string(User) + ":" + PasswordHash + ":" + uid + ":" + gid +
                                   "::" + FHome.string() + ":/bin/false\n");
        writePrivate("group", group + ":x:" + gid + ":\n");
        return ServerOptions({"/usr/sbin/proftpd", "-n", "-c", FDir.Path() / "proftpd.conf"}, port,
                             "run/server.log", FAddress);
    });
}

std::vector<std::string> TFTPTestServer::LoggedCommands(std::size_t sessions) const {
    // %h %l %u %t "%r" %s %b: the request is the quoted part after the time stamp.
    static const std::regex request(R"log(\] "(.*)" \S+ \S+\n)log");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        std::string log = ReadTextFile(FDir.Path() / "run" / "commands.log");
        std::vector<std::string> commands;
        for (std::sregex_iterator match(log.begin(), log.end(), request), end; match != end; ++match)
            commands.push_back((*match)[1]);
        if (std::ranges::count(commands, "QUIT") >= static_cast<std::ptrdiff_t>(sessions) ||
            std::chrono::steady_clock::now() >= deadline)
            return commands;
    }
}

TFTPMagicUserProxy::TFTPMagicUserProxy() : TServerFixture("quillate-ftp-proxy") {
    FPort = StartOnFreePort(FProcess, "ftp-proxy", [this](std::uint16_t port) {
        WriteTextFile(
            FDir.Path() / "ftp-proxy.conf",
            "[-Global-]\nListen 127.0.0.1\nDestinationAddress 127.0.0.1\nAllowMagicUser yes\nPort " +
                std::to_string(port) + "\nPidFile " + (FDir.Path() / "ftp-proxy.pid").string() + "\n");
        return ServerOptions({"/usr/sbin/ftp-proxy", "-d", "-n", "-f", FDir.Path() / "ftp-proxy.conf"}, port);
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
    if (std::ranges::count(login.Features, "UTF8") > 0)
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

TLineScript ScriptFromSteps(const std::vector<std::string>& steps) {
    using TStep = std::function<void(TLineScript&, const std::string&)>;
    static const std::map<std::string, TStep> kinds{
        {"<", [](TLineScript& s, const std::string& line) { s.Send(line); }},
        {">", [](TLineScript& s, const std::string& line) { s.Expect(line); }},
        {"~", [](TLineScript& s, const std::string& pattern) { s.ExpectLike(pattern); }},
        {"raw", [](TLineScript& s, const std::string& bytes) { s.Raw(bytes); }},
        {"login", [](TLineScript& s, const std::string&) { s.Then(FTPLogin()); }},
        {"epsv", [](TLineScript& s, const std::string&) { s.Then(FTPEpsv()); }},
        {"pasv", [](TLineScript& s, const std::string& address) { s.Then(FTPPasv(address)); }},
        {"data", [](TLineScript& s, const std::string& bytes) { s.Then(FTPSendData(bytes)); }},
        {"block", [](TLineScript& s, const std::string&) { s.ReadBlock(); }},
        {"hang", [](TLineScript& s, const std::string&) { s.Hang(); }},
        {"close", [](TLineScript& s, const std::string&) { s.Close(); }}};
    TLineScript script;
    for (const std::string& step : steps) {
        std::size_t space = step.find(' ');
        auto kind = kinds.find(step.substr(0, space));
        if (kind == kinds.end())
            throw std::invalid_argument("unknown script step: " + step);
        kind->second(script, space == std::string::npos ? std::string() : step.substr(space + 1));
    }
    return script;
}

} // namespace quillate::testing
