// FTP client (RFC 959 with the 2389, 2428, 3659 and 7151 extensions); every command blocks on
// the caller's thread, Abort may come from any thread.
#pragma once

#include "net/FTPListParser.h"
#include "net/ReplySession.h"
#include "net/TCPConnection.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zr::net {

enum class TFTPTransferType { ftASCII, ftBinary };

enum class TFTPProxyType {
    fpcmNone,        // straight to the server
    fpcmUserSite,    // USER user@host, PASS pass
    fpcmSite,        // proxy login, SITE host, then USER/PASS
    fpcmOpen,        // proxy login, OPEN host, then USER/PASS
    fpcmUserPass,    // USER user@proxyuser@host, PASS pass@proxypass
    fpcmTransparent, // proxy login, then USER/PASS for the server
};

struct TFTPProxySettings {
    TFTPProxyType ProxyType = TFTPProxyType::fpcmNone;
    std::string Host;
    std::uint16_t Port = 21;
    std::string UserName;
    std::string Password;
};

// How the connection uses TLS (RFC 4217); the names are those projects store.
enum class TFTPSecurity {
    fsNone,     // plain FTP
    fsExplicit, // AUTH TLS on the control connection before the login
    fsImplicit, // TLS from the first byte (usually port 990)
};

// Direction of a transfer as the work events report it.
enum class TWorkMode { wmRead, wmWrite };

class TFTPClient {
public:
    using TWorkBeginEvent = std::function<void(TWorkMode mode, std::int64_t expectedSize)>;
    using TWorkEvent = std::function<void(TWorkMode mode, std::int64_t bytesSoFar)>;
    using TWorkEndEvent = std::function<void(TWorkMode mode)>;
    using TStatusEvent = std::function<void(TConnectionStatus status, std::string_view text)>;
    // Called with each new data connection before it carries data; the place to attach a throttle.
    using TDataChannelEvent = std::function<void(TTCPConnection& dataChannel)>;

    TFTPClient();
    ~TFTPClient();
    TFTPClient(const TFTPClient&) = delete;
    TFTPClient& operator=(const TFTPClient&) = delete;

    // Settings; they take effect at the next Connect (TransferType at once when connected).
    std::string Host;
    std::uint16_t Port = 21;
    std::string Username;
    std::string Password;
    bool Passive = true;
    bool UseHOST = false;
    // Detailed listings by MLSD when the server offers MLST; off forces LIST.
    bool UseMLSD = true;
    std::chrono::milliseconds ConnectTimeout{0}; // 0: DefaultConnectTimeout
    std::chrono::milliseconds ReadTimeout{0};    // 0: DefaultReadTimeout
    TKeepAliveSettings NATKeepAlive;
    TFTPProxySettings ProxySettings;
    TFTPSecurity Security = TFTPSecurity::fsNone;
    // With TLS: data connections protected too (PROT P), else in clear (PROT C).
    bool SecureData = true;
    // Certificate checks of the control connection; data connections check the same name.
    TTLSOptions TLSOptions;
    // A data connection the server refuses for the moment (IsTransientDataRefusal: no passive port free, our
    // side out of ports) is asked for again this many times, the wait doubling from DataRetryWait, before
    // the refusal is raised. Nothing has moved then, so the command is simply given again.
    int DataConnectionRetries = 5;
    std::chrono::milliseconds DataRetryWait{300};
    static constexpr std::chrono::milliseconds DefaultConnectTimeout{30000};
    static constexpr std::chrono::milliseconds DefaultReadTimeout{60000};

    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;
    TStatusEvent OnStatus;
    TDataChannelEvent OnDataChannelCreate;
    // Told of each refusal that is tried again, before the wait: a caller with several connections to
    // the same server may then use fewer.
    std::function<void(const std::string& refusal)> OnTransientRefusal;
    // Told once a connection of what the client did otherwise than the server asked (a passive data
    // address other than the server's own, which is not followed).
    std::function<void(const std::string& text)> OnWarning;

    TFTPTransferType TransferType() const { return FTransferType; }
    void SetTransferType(TFTPTransferType type);

    // The control connection, for attaching the protocol log.
    TTCPConnection& ControlConnection() { return FControl; }

    void Connect();
    // Sends QUIT and closes; a dead or silent peer only shortens the goodbye.
    void Disconnect();
    bool Connected();
    // Thread-safe: the running command or transfer fails with EOperationAborted on its own thread.
    // The connection stays usable; the next command first reads the replies still owed.
    void Abort();
    // A stop through the token ends the running command or transfer and fails every later one, on the
    // control and the data connections; set it before the work it must be able to end.
    void SetStopToken(std::stop_token token);

    void ChangeDir(const std::string& path);
    void ChangeDirUp();
    std::string RetrieveCurrentDir();
    void MakeDir(const std::string& path);
    void RemoveDir(const std::string& path);
    void Delete(const std::string& path);
    void Rename(const std::string& from, const std::string& to);
    // -1 when the server gives no size.
    std::int64_t Size(const std::string& path);
    // Modification time (MDTM), to the second or finer as the server gives it.
    std::chrono::system_clock::time_point FileDate(const std::string& path);
    // MFMT when offered, else MDTM with a time argument; whole seconds.
    void SetModTime(const std::string& path, std::chrono::system_clock::time_point when);
    bool IsExtSupported(std::string_view feature) const;
    // The server's CRC-32 of the whole file (XCRC).
    std::int64_t CRC(const std::string& path);
    void Noop();

    // True when detailed listings go by MLSD: UseMLSD is on and the server offers MLST.
    bool ListsByMLSD() const { return UseMLSD && IsExtSupported("MLST"); }
    // Detailed listings use MLSD when the server offers MLST, else LIST; without details NLST.
    // lines receives the raw lines (kept only for a caller that asks); DirectoryListing() the parsed
    // entries, RefusedNames() those left out for their names and RefusedNameCount() how many were.
    // Throws EProtocolError for a listing past the parser's limits.
    void List(std::vector<std::string>& lines, const std::string& path = {}, bool details = true);
    void List(const std::string& path = {}, bool details = true);
    // "LIST -aR path": the raw lines of a listing of the whole tree below path, for servers that give one
    // (those that do not answer with an error, or with the folder alone). The parser's limits apply.
    void ListTree(const std::string& path, std::vector<std::string>& lines);
    const std::vector<TFTPListItem>& DirectoryListing() const { return FDirectoryListing; }
    std::vector<TFTPListItem> TakeDirectoryListing() { return std::move(FDirectoryListing); }
    const std::vector<TRefusedName>& RefusedNames() const { return FRefusedNames; }
    std::size_t RefusedNameCount() const { return FRefusedNameCount; }

    // Sends a raw command; returns the reply code. Raises EReplyError unless the code is one of
    // expected (an empty list accepts any reply), and EUnsafeCommand for AUTH, CCC, PBSZ, PROT and REIN.
    int SendCmd(std::string_view command, const std::vector<int>& expected = {});
    const TReply& LastReply() const { return FSession.LastReply(); }

    // Writes the file's bytes to an open descriptor that the caller owns and finishes; restartAt > 0
    // sends REST first. localName names the descriptor in error messages.
    void Get(const std::string& remote, int file, std::int64_t restartAt, const std::string& localName);
    // restartAt >= 0 sends REST first; the stream receives the bytes from there on.
    void Get(const std::string& remote, std::ostream& destination, std::int64_t restartAt = -1);
    // startPosition -1 sends the whole file; otherwise REST and the file from that offset.
    void Put(const std::string& localFile, const std::string& remote, bool append = false,
             std::int64_t startPosition = -1);
    // The stream is sent from its current position.
    void Put(std::istream& source, const std::string& remote, bool append = false, std::int64_t startPosition = -1);

private:
    struct TUploadSource;
    class TDataChannelScope;

    // The reply, or EReplyError unless its first digit is replyClass.
    const TReply& CommandExpect(std::string_view line, int replyClass);
    void Login();
    void StartControlTLS();
    void ProtectData();
    void LoginUserPass(const std::string& user, const std::string& pass, bool final);
    void ReadFeatures();
    void EnsureType(TFTPTransferType type);
    std::chrono::milliseconds EffectiveConnectTimeout() const;
    std::chrono::milliseconds EffectiveReadTimeout() const;

    // Data channel (FTPDataChannel.cpp).
    std::unique_ptr<TTCPConnection> OpenDataChannel();
    void OpenPassive(TTCPConnection& data);
    void OpenActive(TTCPConnection& data);
    // EPRT or PORT and its reply, watching for a server that connects and then never answers.
    const TReply& ActiveCommand(const std::string& line, const TTCPConnection& data);
    void CompleteDataChannel(TTCPConnection& data);

    // Transfer loops (FTPTransfer.cpp).
    // Opens the data connection into scope and gives the command, again after a refusal that is taken back.
    void OpenAndStart(std::optional<TDataChannelScope>& scope, std::string_view command, std::int64_t restartAt);
    void WaitBeforeRetry(std::chrono::milliseconds wait);
    char* TransferBuffer();
    // A listing command's data through the parser, its faults named with the command; then Finish.
    void ReceiveListing(const std::string& command, TFTPListingParser& parser);
    void ReceiveData(std::string_view command, std::int64_t restartAt, bool workEvents, bool ascii,
                     const std::function<void(const char*, std::size_t)>& sink);
    void SendData(std::string_view command, std::int64_t restartAt, TUploadSource& source);
    void RunListing(std::vector<std::string>* lines, const std::string& path, bool details);
    void StartTransfer(std::string_view command, std::int64_t restartAt, TTCPConnection& data);
    void FinishTransfer();

    TTCPConnection FControl;
    TReplySession FSession{FControl, TReplyRules{"FTP", TReplySyntax::rsNumeric, true}};
    std::shared_ptr<IConnectionIntercept> FStatusForwarder;
    TFTPTransferType FTransferType = TFTPTransferType::ftBinary;
    bool FServerTypeKnown = false;
    TFTPTransferType FServerType = TFTPTransferType::ftBinary;
    bool FEPSVFailed = false;
    bool FPassiveAddressNoted = false; // OnWarning told of a passive address not followed
    bool FEPRTFailed = false;
    bool FDataProtected = false;
    std::string FTLSServerName;
    std::vector<std::string> FFeatures;
    bool FFeaturesKnown = false;
    std::vector<TFTPListItem> FDirectoryListing;
    std::vector<TRefusedName> FRefusedNames;
    std::size_t FRefusedNameCount = 0;
    std::vector<char> FBuffer;

    void AbortDataChannel();
    std::mutex FDataMutex; // guards FDataChannel against Abort from other threads
    TTCPConnection* FDataChannel = nullptr;
    std::stop_token FStopToken;
};

} // namespace zr::net
