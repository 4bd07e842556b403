#include "net/MailClient.h"

#include "net/NetErrors.h"

#include <fmt/format.h>

namespace zr::net {

TMailClient::TMailClient(std::string_view protocol, TReplySyntax syntax, std::uint16_t defaultPort)
    : Port(defaultPort), FSession(FConnection, TReplyRules{std::string(protocol), syntax, false}) {}

void TMailClient::Open() {
    if (FConnection.IsOpen())
        throw EAlreadyConnected(
            FormatNetMessage("Connecting to", fmt::format("{}:{}", Host, Port), "already connected"));
    FSession.Reset();
    FTLSActive = false;
    FConnection.ClearAbort();
    FConnection.SetReadTimeout(ReadTimeout.count() > 0 ? ReadTimeout : DefaultReadTimeout);
    FConnection.Connect(Host, Port, ConnectTimeout.count() > 0 ? ConnectTimeout : DefaultConnectTimeout);
    if (UseSSL || UseTLS == TUseTLS::utUseImplicitTLS) {
        try {
            StartTLS();
        } catch (...) {
            FSession.Drop();
            throw;
        }
    }
}

bool TMailClient::WantsStartTLS() const {
    return !FTLSActive && (UseTLS == TUseTLS::utUseExplicitTLS || UseTLS == TUseTLS::utUseRequireTLS);
}

void TMailClient::StartTLS() {
    TTLSOptions tls = TLSOptions;
    if (tls.ServerName.empty())
        tls.ServerName = Host;
    FConnection.StartTLS(tls);
    FTLSActive = true;
}

void TMailClient::StartTLSNotOffered(std::string_view command) const {
    if (UseTLS == TUseTLS::utUseRequireTLS)
        throw ETLSError(FormatNetMessage("Connecting to", fmt::format("{}:{}", Host, Port),
                                         fmt::format("the server does not offer {}", command)),
                        std::make_error_code(std::errc::protocol_not_supported));
}

void TMailClient::Disconnect() {
    FSession.Quit();
    FTLSActive = false;
}

} // namespace zr::net
