// Real FTP servers (pyftpdlib, ProFTPD, Pure-FTPd, vsftpd) and Debian's ftp-proxy, started per test on
// 127.0.0.1, and the FTP pieces of line peer scripts.
#pragma once

#include "support/LinePeer.h"
#include "support/ServerProcess.h"

namespace quillate::testing {

// Pure-FTPd and vsftpd need root: they cannot drop privileges without it. vsftpd serves its anonymous
// user only (a local one needs a PAM service of the system), in the writable folder RemoteHome().
enum class TFTPServerKind { skPyftpdlib, skProFTPD, skPureFTPd, skVsftpd };

// FTP over TLS on the server side: none, AUTH TLS, or TLS from the first byte (ProFTPD only).
enum class TFTPServerTLS { stNone, stExplicit, stImplicit };

std::string KindName(TFTPServerKind kind);

class TFTPTestServer : public TServerFixture {
public:
    explicit TFTPTestServer(TFTPServerKind kind);

    void Start();

    TFTPServerKind Kind() const { return FKind; }
    // The FTP user's home folder, which is the server's "/" for ProFTPD and Pure-FTPd, the root for
    // pyftpdlib and RemoteHome() for vsftpd.
    const std::filesystem::path& Home() const { return FHome; }
    std::string RemoteHome() const { return FKind == TFTPServerKind::skVsftpd ? "/pub" : "/"; }
    static constexpr const char* User = "tester";
    static constexpr const char* Password = "secret";
    std::string LoginUser() const { return FKind == TFTPServerKind::skVsftpd ? "anonymous" : User; }

    // Creates a file (and its folders) in the home folder, owned by the server's account.
    void PutFile(const std::string& relativePath, const std::string& content);
    void MakeDir(const std::string& relativePath);
    // pyftpdlib only: leaves XCRC out, as a server without checksums; call before Start.
    void SetWithoutChecksums() { FWithoutChecksums = true; }
    // The numeric address the server listens on ("127.0.0.1", or "::1" for IPv6); call before Start.
    void SetAddress(std::string address) { FAddress = std::move(address); }
    // pyftpdlib only: answers EPSV and EPRT with 500, as servers that know only PASV and PORT.
    void SetWithoutExtendedDataCommands() { FWithoutExtended = true; }
    // pyftpdlib only: every time the server shows (listings, MDTM) is its wall clock in this zone
    // ("Etc/GMT-3") instead of UTC, as a server whose clock differs from ours; call before Start.
    void SetServerTimeZone(std::string zone) { FTimeZone = std::move(zone); }
    // pyftpdlib only: the server's clock runs this many seconds ahead of ours (behind when negative): the
    // files it stores are stamped by that clock; call before Start.
    void SetServerClockOffset(int seconds) { FClockOffset = seconds; }
    // pyftpdlib only: runs tests/servers/hostile_ftpd.py instead, with its mode and options
    // ({"names"}, {"huge", "--entries", "1000"}; the script's header lists them); call before Start.
    void SetHostile(std::vector<std::string> modeAndOptions) { FHostile = std::move(modeAndOptions); }
    // Serves FTP over TLS only, with the certificate of tests/data/net/tls; ProFTPD refuses data
    // connections that do not resume the control connection's session. protocol "TLSv1.2" or
    // "TLSv1.3" forces that version; empty allows both. Call before Start.
    void SetTLS(TFTPServerTLS mode, std::string protocol = {}) {
        FTLS = mode;
        FTLSProtocol = std::move(protocol);
    }
    // pyftpdlib only: resets the first upload's data connection after this many bytes (where a proxy
    // cannot see the commands, over TLS); call before Start. 0: never.
    void SetUploadCut(std::size_t bytes) { FUploadCut = bytes; }
    // Throttles what the server reads from data connections (uploads); call before Start. 0: none.
    // Pure-FTPd refuses this and SetTLS.
    void SetReadLimit(std::size_t bytesPerSecond) { FReadLimit = bytesPerSecond; }
    // ProFTPD only: logins of the user past this many at once are refused; call before Start. 0: no limit.
    void SetMaxClientsPerUser(int count) { FMaxClientsPerUser = count; }
    // ProFTPD only: these commands ("RNFR RNTO") are refused to everyone; call before Start.
    void SetDeniedCommands(std::string commands) { FDeniedCommands = std::move(commands); }
    // ProFTPD only: names matching this regular expression may not be stored or renamed to (550);
    // call before Start.
    void SetDeniedNames(std::string pattern) { FDeniedNames = std::move(pattern); }
    // ProFTPD only: the commands it has logged, one request line each ("CWD a", "PASS (hidden)"). Waits
    // up to ten seconds until `sessions` QUITs are among them: the server logs a command after its reply.
    std::vector<std::string> LoggedCommands(std::size_t sessions = 1) const;

private:
    void GiveToServer(const std::filesystem::path& path);
    TServerOptions PureFTPdOptions(std::uint16_t port) const;
    TServerOptions VsftpdOptions(std::uint16_t port) const;

    TFTPServerKind FKind;
    std::filesystem::path FHome;
    bool FAsNobody;
    unsigned FOwner = 65534; // the account the server writes as, which owns what the tests put there
    std::size_t FReadLimit = 0;
    std::size_t FUploadCut = 0;
    int FMaxClientsPerUser = 0;
    std::string FDeniedCommands;
    std::string FDeniedNames;
    bool FWithoutChecksums = false;
    std::string FTimeZone;
    int FClockOffset = 0;
    std::string FAddress = "127.0.0.1";
    bool FWithoutExtended = false;
    std::vector<std::string> FHostile;
    TFTPServerTLS FTLS = TFTPServerTLS::stNone;
    std::string FTLSProtocol;
};

// Debian's ftp-proxy on 127.0.0.1 with "magic" user names: "USER user@host:port" names the server
// it connects to, as a firewall's FTP proxy does.
class TFTPMagicUserProxy : public TServerFixture {
public:
    TFTPMagicUserProxy();
};

struct TFTPLogin {
    std::vector<std::string> Features; // offered in the FEAT reply ("SIZE", "UTF8", "HOST")
    std::string User = TFTPTestServer::User;
    std::string Password = TFTPTestServer::Password;
    std::string Host; // the argument of the HOST command the client must send; empty: none
};

// Greeting, FEAT, HOST when asked for, USER, PASS, OPTS UTF8 ON when UTF8 is offered, TYPE I.
TLineScript FTPLogin(const TFTPLogin& login = {});
// EPSV, or PASV announcing the listener under `announced` ("0,0,0,0"), answered with a listener
// for the next data connection.
TLineScript FTPEpsv();
TLineScript FTPPasv(const std::string& announced);
// EPRT naming the client's own address; the peer connects back for the next data connection, first
// from `intruder` when given, which the client must close while it keeps waiting for ours.
TLineScript FTPEprt(const std::string& intruder = {});
// Over the data connection agreed on last: bytes sent, or an upload received and kept as a block.
TLineScript FTPSendData(std::string bytes);
TLineScript FTPReceiveData();

// A script as the test data write it, one step a text: "< line" sent (CR LF added), "> line"
// expected, "~ pattern" expected like an fnmatch(3) pattern, "raw BYTES" sent as they are, "login"
// (FTPLogin()), "epsv", "pasv a,b,c,d", "data BYTES" sent over the data connection agreed on last,
// "block" read up to a lone ".", "hang", "close". An unknown step throws std::invalid_argument.
TLineScript ScriptFromSteps(const std::vector<std::string>& steps);

} // namespace quillate::testing
