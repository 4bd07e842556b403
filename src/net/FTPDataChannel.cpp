// Data connections of the FTP client: passive (EPSV, PASV) and active (EPRT, PORT).
#include "net/FTPClient.h"
#include "net/FTPDataChannel.h"
#include "net/FTPReplyText.h"
#include "net/NetErrors.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>

namespace zr::net {

TFTPClient::TDataChannelScope::TDataChannelScope(TFTPClient& client, std::unique_ptr<TTCPConnection> channel)
    : FClient(client), FChannel(std::move(channel)) {
    std::lock_guard<std::mutex> lock(FClient.FDataMutex);
    FClient.FDataChannel = FChannel.get();
    // An abort that came while the channel was being opened found nothing to abort.
    if (FClient.FControl.AbortRequested())
        FChannel->Abort();
}

TFTPClient::TDataChannelScope::~TDataChannelScope() {
    {
        std::lock_guard<std::mutex> lock(FClient.FDataMutex);
        FClient.FDataChannel = nullptr;
    }
    // A channel given up half-way is reset, so the server reports a broken transfer instead of
    // taking a truncated upload for a complete one.
    if (FClosed)
        return;
    bool protectedChannel = FChannel->TLSActive();
    FChannel->DisconnectWithReset();
    // A TLS session that ended without its close is struck from the server's cache (or ends the
    // server's session), and servers that insist on resumed data connections then refuse every
    // later one: the control connection goes too, so the next action reconnects instead of failing.
    if (protectedChannel)
        FClient.FSession.Drop();
}

void TFTPClient::TDataChannelScope::Close() {
    FChannel->Disconnect();
    FClosed = true;
}

std::unique_ptr<TTCPConnection> TFTPClient::OpenDataChannel() {
    auto data = std::make_unique<TTCPConnection>();
    data->SetStopToken(FStopToken);
    data->SetReadTimeout(EffectiveReadTimeout());
    if (OnDataChannelCreate)
        OnDataChannelCreate(*data);
    return data;
}

void TFTPClient::OpenPassive(TTCPConnection& data) {
    std::string peer = FControl.PeerAddress();
    std::string address;
    std::uint16_t port = 0;
    if (!FEPSVFailed) {
        const TReply& reply = FSession.Command("EPSV");
        if (reply.Code == 229) {
            auto epsvPort = ParseEpsvReply(reply.Text());
            if (!epsvPort)
                throw EProtocolError(FormatNetMessage("EPSV on", FControl.PeerText(),
                                                      "unreadable reply \"" + reply.FinalLineText() + "\""));
            address = peer;
            port = *epsvPort;
        } else if (reply.Code / 100 == 5) {
            FEPSVFailed = true; // not offered; ask for PASV from now on
        } else {
            FSession.RaiseReplyError();
        }
    }
    if (port == 0) {
        const TReply& reply = CommandExpect("PASV", 2);
        auto pasv = ParsePasvReply(reply.Text());
        if (!pasv)
            throw EProtocolError(FormatNetMessage("PASV on", FControl.PeerText(),
                                                  "unreadable reply \"" + reply.FinalLineText() + "\""));
        // Data connections go to the server the control connection reached, never to an address a reply
        // names: a server must not send the client elsewhere (RFC 2577), and one behind a NAT names an
        // address nobody outside can reach.
        address = peer.empty() ? pasv->Address : peer;
        port = pasv->Port;
        if (pasv->Address != address && pasv->Address != "0.0.0.0" && !FPassiveAddressNoted) {
            FPassiveAddressNoted = true;
            if (OnWarning)
                OnWarning(
                    fmt::format("The server named another address [{}] for data connections; they go to its "
                                "own address [{}]",
                                pasv->Address, address));
        }
    }
    data.Connect(address, port, EffectiveConnectTimeout());
}

void TFTPClient::OpenActive(TTCPConnection& data) {
    std::string local = FControl.LocalAddress();
    std::uint16_t port = data.Listen(local);
    bool v6 = local.find(':') != std::string::npos;
    if (!FEPRTFailed) {
        std::string eprt = fmt::format("EPRT |{}|{}|{}|", v6 ? 2 : 1, local, port);
        const TReply& reply = ActiveCommand(eprt, data);
        if (reply.Code / 100 == 2)
            return;
        if (reply.Code / 100 != 5)
            FSession.RaiseReplyError();
        FEPRTFailed = true;
    }
    if (v6)
        throw EProtocolError(FormatNetMessage("PORT on", FControl.PeerText(), "the server refused EPRT for IPv6"));
    std::string numbers = local;
    std::replace(numbers.begin(), numbers.end(), '.', ',');
    if (ActiveCommand(fmt::format("PORT {},{},{}", numbers, port / 256, port % 256), data).Code / 100 != 2)
        FSession.RaiseReplyError();
}

// A server that connects to us before it answers (pyftpdlib does) can lose track of its own connection
// when several sessions ask at once, and then says nothing until a time-out of its own half a minute
// later. A reply follows the connection at once otherwise, so one that has waited this long at our port
// without a reply gives the session up.
constexpr std::chrono::seconds SilentAfterConnecting{5};
constexpr std::chrono::milliseconds ListenerCheckInterval{200};

const TReply& TFTPClient::ActiveCommand(const std::string& line, const TTCPConnection& data) {
    using Clock = TTCPConnection::Clock;
    FSession.SendCommand(line);
    const auto replyDue = Clock::now() + EffectiveReadTimeout();
    std::optional<Clock::time_point> connected;
    while (FControl.Buffered().empty()) {
        const auto now = Clock::now();
        if (!connected && data.ConnectionWaiting())
            connected = now;
        if (connected && now - *connected >= SilentAfterConnecting) {
            FSession.Drop();
            throw EServerStalled(FormatNetMessage(
                line.substr(0, 4) + " on", FControl.PeerText(),
                fmt::format("the server connected for data but has not answered in {} s", SilentAfterConnecting.count())));
        }
        const auto wake = std::min(now + ListenerCheckInterval, replyDue);
        try {
            if (!FControl.FillBuffer(wake))
                break; // closed: the reply's reading says so
        } catch (const EReadTimeout&) {
            if (wake == replyDue)
                throw;
        }
    }
    return FSession.ReadReply();
}

void TFTPClient::CompleteDataChannel(TTCPConnection& data) {
    // Only the server we talk to may connect; anyone else racing to the port is refused.
    if (!Passive)
        data.Accept(EffectiveConnectTimeout(), FControl.PeerAddress());
    // The server starts TLS on the data connection once it has answered the command. The control
    // connection's session is taken now rather than after AUTH: with TLS 1.3 its tickets arrive
    // with the replies that follow the handshake.
    if (FDataProtected) {
        TTLSOptions options = TLSOptions;
        options.ServerName = FTLSServerName;
        options.Resume = FControl.TLSSession();
        data.StartTLS(options);
    }
}

} // namespace zr::net
