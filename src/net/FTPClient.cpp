#include "net/FTPClient.h"

#include "net/FTPReplyText.h"
#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <fmt/format.h>

#include <algorithm>

namespace zr::net {

namespace {

// Forwards the control connection's state changes to the client's status event.
class TStatusForwarder : public IConnectionIntercept {
public:
    explicit TStatusForwarder(TFTPClient& client) : FClient(client) {}
    void Status(TConnectionStatus status, std::string_view text) override {
        if (FClient.OnStatus)
            FClient.OnStatus(status, text);
    }

private:
    TFTPClient& FClient;
};

std::string WithPort(const std::string& host, std::uint16_t port) {
    return port == 21 ? host : fmt::format("{}:{}", host, port);
}

} // namespace

TFTPClient::TFTPClient() : FStatusForwarder(std::make_shared<TStatusForwarder>(*this)) {
    FControl.AddIntercept(FStatusForwarder);
}

TFTPClient::~TFTPClient() = default;

std::chrono::milliseconds TFTPClient::EffectiveConnectTimeout() const {
    return ConnectTimeout.count() > 0 ? ConnectTimeout : DefaultConnectTimeout;
}

std::chrono::milliseconds TFTPClient::EffectiveReadTimeout() const {
    return ReadTimeout.count() > 0 ? ReadTimeout : DefaultReadTimeout;
}

void TFTPClient::SetTransferType(TFTPTransferType type) {
    FTransferType = type;
    if (FControl.IsOpen()) {
        FSession.Begin();
        EnsureType(type);
    }
}

const TReply& TFTPClient::CommandExpect(std::string_view line, int replyClass) {
    const TReply& reply = FSession.Command(line);
    if (reply.Code / 100 != replyClass)
        FSession.RaiseReplyError();
    return reply;
}

void TFTPClient::Connect() {
    if (FControl.IsOpen())
        throw EAlreadyConnected(FormatNetMessage("Connecting to", WithPort(Host, Port), "already connected"));
    FSession.Reset();
    FFeatures.clear();
    FFeaturesKnown = false;
    FServerTypeKnown = false;
    FEPSVFailed = false;
    FPassiveAddressNoted = false;
    FEPRTFailed = false;
    FDataProtected = false;
    FControl.ClearAbort();
    FControl.SetReadTimeout(EffectiveReadTimeout());
    FControl.SetKeepAlive(NATKeepAlive);

    bool viaProxy = ProxySettings.ProxyType != TFTPProxyType::fpcmNone && !ProxySettings.Host.empty();
    const std::string& host = viaProxy ? ProxySettings.Host : Host;
    std::uint16_t port = viaProxy ? ProxySettings.Port : Port;
    FControl.Connect(host, port, EffectiveConnectTimeout());
    FTLSServerName = TLSOptions.ServerName.empty() ? host : TLSOptions.ServerName;
    try {
        if (Security == TFTPSecurity::fsImplicit)
            StartControlTLS();
        // 120 means "ready in a few minutes"; the real greeting follows.
        const TReply* greeting = &FSession.ReadReply();
        while (greeting->Code == 120)
            greeting = &FSession.ReadReply();
        if (greeting->Code / 100 != 2)
            FSession.RaiseReplyError("Connecting to");
        if (!viaProxy) {
            ReadFeatures();
            // An IPv6 address goes in brackets, as in a URI (RFC 7151). HOST belongs before TLS starts
            // (servers refuse it later), so with implicit TLS the name travels as SNI only.
            if (UseHOST && IsExtSupported("HOST") && Security != TFTPSecurity::fsImplicit)
                CommandExpect("HOST " + (Host.find(':') == std::string::npos ? Host : "[" + Host + "]"), 2);
        }
        // The password never travels in clear: a server that refuses TLS fails the connect.
        if (Security == TFTPSecurity::fsExplicit) {
            CommandExpect("AUTH TLS", 2);
            StartControlTLS();
        }
        Login();
        if (Security != TFTPSecurity::fsNone)
            ProtectData();
        if (!FFeaturesKnown)
            ReadFeatures();
        if (IsExtSupported("UTF8"))
            FSession.Command("OPTS UTF8 ON"); // refusal is harmless: names then pass as bytes anyway
        EnsureType(FTransferType);
    } catch (...) {
        FSession.Drop();
        throw;
    }
}

void TFTPClient::StartControlTLS() {
    TTLSOptions options = TLSOptions;
    options.ServerName = FTLSServerName;
    options.Resume.reset();
    FControl.StartTLS(options);
}

void TFTPClient::ProtectData() {
    CommandExpect("PBSZ 0", 2);
    CommandExpect(SecureData ? "PROT P" : "PROT C", 2);
    FDataProtected = SecureData;
}

void TFTPClient::ReadFeatures() {
    const TReply& reply = FSession.Command("FEAT");
    FFeatures = ParseFeatures(reply);
    // Some servers answer FEAT only after login; then it is asked again.
    FFeaturesKnown = reply.Code == 211;
}

void TFTPClient::LoginUserPass(const std::string& user, const std::string& pass, bool final) {
    const TReply& userReply = FSession.Command("USER " + user);
    if (userReply.Code == 230 || (!final && userReply.Code / 100 == 2))
        return;
    if (userReply.Code != 331 && userReply.Code != 332)
        FSession.RaiseReplyError();
    CommandExpect("PASS " + pass, 2);
}

void TFTPClient::Login() {
    const auto& proxy = ProxySettings;
    bool proxyLogin = !proxy.UserName.empty();
    std::string target = WithPort(Host, Port);
    switch (proxy.ProxyType) {
    case TFTPProxyType::fpcmNone:
        LoginUserPass(Username, Password, true);
        break;
    case TFTPProxyType::fpcmUserSite:
        LoginUserPass(Username + "@" + target, Password, true);
        break;
    case TFTPProxyType::fpcmSite:
    case TFTPProxyType::fpcmOpen:
        // Log in to the proxy, name the server with SITE or OPEN, then log in to the server.
        if (proxyLogin)
            LoginUserPass(proxy.UserName, proxy.Password, false);
        CommandExpect((proxy.ProxyType == TFTPProxyType::fpcmSite ? "SITE " : "OPEN ") + target, 2);
        LoginUserPass(Username, Password, true);
        break;
    case TFTPProxyType::fpcmUserPass:
        LoginUserPass(Username + "@" + proxy.UserName + "@" + target, Password + "@" + proxy.Password, true);
        break;
    case TFTPProxyType::fpcmTransparent:
        if (proxyLogin)
            LoginUserPass(proxy.UserName, proxy.Password, false);
        LoginUserPass(Username, Password, true);
        break;
    }
}

void TFTPClient::Disconnect() {
    FSession.Quit();
}

bool TFTPClient::Connected() {
    return FControl.Connected();
}

void TFTPClient::Abort() {
    FSession.Abort();
    AbortDataChannel();
}

void TFTPClient::SetStopToken(std::stop_token token) {
    FStopToken = token;
    FControl.SetStopToken(std::move(token));
}

void TFTPClient::AbortDataChannel() {
    std::lock_guard<std::mutex> lock(FDataMutex);
    if (FDataChannel != nullptr)
        FDataChannel->Abort();
}

void TFTPClient::EnsureType(TFTPTransferType type) {
    if (FServerTypeKnown && FServerType == type)
        return;
    CommandExpect(type == TFTPTransferType::ftBinary ? "TYPE I" : "TYPE A", 2);
    FServerType = type;
    FServerTypeKnown = true;
}

void TFTPClient::ChangeDir(const std::string& path) {
    FSession.Begin();
    CommandExpect("CWD " + path, 2);
}

void TFTPClient::ChangeDirUp() {
    FSession.Begin();
    CommandExpect("CDUP", 2);
}

std::string TFTPClient::RetrieveCurrentDir() {
    FSession.Begin();
    const TReply& reply = CommandExpect("PWD", 2);
    auto path = ParseQuotedPath(reply.FinalLineText());
    if (!path)
        throw EProtocolError(FormatNetMessage("PWD on", FControl.PeerText(), "reply without a path"));
    return *path;
}

void TFTPClient::MakeDir(const std::string& path) {
    FSession.Begin();
    CommandExpect("MKD " + path, 2);
}

void TFTPClient::RemoveDir(const std::string& path) {
    FSession.Begin();
    CommandExpect("RMD " + path, 2);
}

void TFTPClient::Delete(const std::string& path) {
    FSession.Begin();
    CommandExpect("DELE " + path, 2);
}

void TFTPClient::Rename(const std::string& from, const std::string& to) {
    FSession.Begin();
    // Both commands in one round trip: the server takes them in order, and one that refuses RNFR answers
    // RNTO with 503, which stays owed to the next command's Begin.
    FSession.SendCommand("RNFR " + from);
    const std::string fromShown = FSession.LastCommand();
    FSession.SendCommand("RNTO " + to);
    if (FSession.ReadReply().Code / 100 != 3)
        FSession.RaiseReplyError(fromShown + " on");
    if (FSession.ReadReply().Code / 100 != 2)
        FSession.RaiseReplyError();
}

std::int64_t TFTPClient::Size(const std::string& path) {
    FSession.Begin();
    // Sizes in ASCII mode would count converted line ends; servers refuse them.
    EnsureType(TFTPTransferType::ftBinary);
    const TReply& reply = FSession.Command("SIZE " + path);
    if (reply.Code != 213)
        return -1;
    return ParseSizeReply(reply.FinalLineText()).value_or(-1);
}

std::chrono::system_clock::time_point TFTPClient::FileDate(const std::string& path) {
    FSession.Begin();
    const TReply& reply = FSession.Command("MDTM " + path);
    if (reply.Code != 213)
        FSession.RaiseReplyError();
    auto when = ParseFTPTimestamp(reply.FinalLineText());
    if (!when)
        throw EProtocolError(FormatNetMessage("MDTM " + path + " on", FControl.PeerText(),
                                              "unreadable time \"" + reply.FinalLineText() + "\""));
    return *when;
}

void TFTPClient::SetModTime(const std::string& path, std::chrono::system_clock::time_point when) {
    FSession.Begin();
    std::string stamp = FormatFTPTimestamp(when);
    if (IsExtSupported("MFMT"))
        CommandExpect("MFMT " + stamp + " " + path, 2);
    else
        CommandExpect("MDTM " + stamp + " " + path, 2);
}

bool TFTPClient::IsExtSupported(std::string_view feature) const {
    return HasFeature(FFeatures, feature);
}

std::int64_t TFTPClient::CRC(const std::string& path) {
    FSession.Begin();
    const TReply& reply = CommandExpect("XCRC " + path, 2);
    auto crc = ParseXCRCReply(reply);
    if (!crc)
        throw EProtocolError(FormatNetMessage("XCRC " + path + " on", FControl.PeerText(),
                                              "unreadable checksum \"" + reply.FinalLineText() + "\""));
    return static_cast<std::int64_t>(*crc);
}

void TFTPClient::Noop() {
    FSession.Begin();
    CommandExpect("NOOP", 2);
}

int TFTPClient::SendCmd(std::string_view command, const std::vector<int>& expected) {
    // These change the connection's security or session under the client's feet: after them its own
    // idea of the TLS state would no longer match the server's.
    static constexpr std::string_view SecurityVerbs[] = {"AUTH", "CCC", "PBSZ", "PROT", "REIN"};
    const std::string_view verb = command.substr(0, command.find(' '));
    for (std::string_view refused : SecurityVerbs)
        if (EqualsNoCase(verb, refused))
            throw EUnsafeCommand(fmt::format("{} is not sent as a raw command: the connection's security "
                                             "settings decide it",
                                             refused));
    FSession.Begin();
    const TReply& reply = FSession.Command(command);
    if (!expected.empty() && std::find(expected.begin(), expected.end(), reply.Code) == expected.end())
        FSession.RaiseReplyError();
    return reply.Code;
}

} // namespace zr::net
