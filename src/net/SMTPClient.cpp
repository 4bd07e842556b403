#include "net/SMTPClient.h"

#include "base/Base64.h"
#include "net/NetErrors.h"
#include "net/SMTPExtensions.h"
#include "net/TextUtil.h"

#include <algorithm>
#include <fmt/format.h>

namespace zr::net {

namespace base = quillate::base;

namespace {} // namespace

TSMTPClient::TSMTPClient() : TMailClient("SMTP", TReplySyntax::rsNumeric, 25) {}

const TReply& TSMTPClient::CommandExpect(std::string_view line, std::initializer_list<int> codes) {
    const TReply& reply = FSession.Command(line);
    if (std::find(codes.begin(), codes.end(), reply.Code) == codes.end())
        FSession.RaiseReplyError();
    return reply;
}

void TSMTPClient::Connect() {
    FExtensions.clear();
    Open();
    try {
        if (FSession.ReadReply().Code != 220)
            FSession.RaiseReplyError("Connecting to");
        bool wantsStartTLS = WantsStartTLS();
        Hello(UseEhlo || wantsStartTLS || AuthType != TSMTPAuthType::satNone);
        if (wantsStartTLS) {
            if (HasExtension("STARTTLS")) {
                CommandExpect("STARTTLS", {220});
                StartTLS();
                // What the server said before TLS may have been forged on the way (RFC 3207 4.2).
                FExtensions.clear();
                Hello(true);
            } else {
                StartTLSNotOffered("STARTTLS");
            }
        }
    } catch (...) {
        FSession.Drop();
        throw;
    }
}

void TSMTPClient::Hello(bool ehlo) {
    std::string name = HeloName;
    if (name.empty()) {
        std::string local = FConnection.LocalAddress();
        name = local.find(':') != std::string::npos ? "[IPv6:" + local + "]" : "[" + local + "]";
    }
    if (ehlo) {
        const TReply& reply = FSession.Command("EHLO " + name);
        if (reply.Code == 250) {
            FExtensions = EhloExtensions(reply);
            return;
        }
        if (reply.Code / 100 != 5)
            FSession.RaiseReplyError();
    }
    CommandExpect("HELO " + name, {250});
}

bool TSMTPClient::HasExtension(std::string_view keyword) const {
    return OffersExtension(FExtensions, keyword);
}

std::vector<std::string> TSMTPClient::AuthMechanisms() const {
    return AuthMechanismsOf(FExtensions);
}

std::optional<std::int64_t> TSMTPClient::MaxMessageSize() const {
    return MaxMessageSizeOf(FExtensions);
}

void TSMTPClient::Authenticate() {
    if (AuthType == TSMTPAuthType::satNone)
        return;
    FSession.Begin();
    std::string peer = FConnection.PeerText();
    // PLAIN separates its fields by NUL, and no field may break the command line.
    if (Username.find('\0') != std::string::npos || HoldsLineBreakOrNul(Password))
        throw EUnsafeCommand(
            FormatNetMessage("Logging in to", peer, "the user name or password holds CR, LF or NUL"));
    auto mechanisms = AuthMechanisms();
    auto offers = [&](std::string_view name) {
        return std::any_of(mechanisms.begin(), mechanisms.end(),
                           [&](const std::string& m) { return EqualsNoCase(m, name); });
    };
    if (offers("PLAIN")) {
        std::string response = std::string(1, '\0') + Username + '\0' + Password;
        CommandExpect("AUTH PLAIN " + base::Base64Encode(response), {235});
    } else if (offers("LOGIN")) {
        CommandExpect("AUTH LOGIN", {334});
        CommandExpect(base::Base64Encode(Username), {334});
        CommandExpect(base::Base64Encode(Password), {235});
    } else {
        throw EProtocolError(
            FormatNetMessage("Logging in to", peer, "the server offers neither AUTH PLAIN nor AUTH LOGIN"));
    }
}

void TSMTPClient::CheckAddress(const std::string& address) const {
    if (address.find_first_of(std::string_view("\r\n\0<>", 5)) != std::string::npos)
        throw EUnsafeCommand(FormatNetMessage(
            "Sending to", FConnection.PeerText(),
            fmt::format("the address \"{}\" holds CR, LF, NUL, < or >", Printable(address))));
    // A blank or control character outside a quoted local part would end the address inside the
    // brackets and pass the rest as parameters of the command ("a@x.org NOTIFY=NEVER").
    std::size_t from = 0;
    if (address.starts_with('"')) {
        for (from = 1; from < address.size() && address[from] != '"'; ++from)
            from += address[from] == '\\' ? 1 : 0;
        ++from;
    }
    const bool blank =
        std::any_of(address.begin() + static_cast<std::ptrdiff_t>(std::min(from, address.size())),
                    address.end(), [](char c) {
                        auto u = static_cast<unsigned char>(c);
                        return u <= 0x20 || u == 0x7f;
                    });
    if (blank)
        throw EUnsafeCommand(FormatNetMessage(
            "Sending to", FConnection.PeerText(),
            fmt::format("the address \"{}\" holds a blank or a control character", Printable(address))));
}

void TSMTPClient::MailFrom(const std::string& address) {
    CheckAddress(address);
    FSession.Begin();
    CommandExpect("MAIL FROM:<" + address + ">", {250});
}

void TSMTPClient::RcptTo(const std::string& address) {
    CheckAddress(address);
    FSession.Begin();
    CommandExpect("RCPT TO:<" + address + ">", {250, 251});
}

void TSMTPClient::Data(std::istream& source, std::int64_t expectedSize) {
    Data(FSession.ReadingFrom(source), expectedSize);
}

void TSMTPClient::Data(const TDataProducer& produce, std::int64_t expectedSize) {
    FSession.Begin();
    CommandExpect("DATA", {354});
    if (OnWorkBegin)
        OnWorkBegin(expectedSize);
    FSession.SendDataBlock(produce, [this](std::int64_t sent) {
        if (OnWork)
            OnWork(sent);
    });
    if (FSession.ReadReply().Code != 250)
        FSession.RaiseReplyError("Sending the message to");
    if (OnWorkEnd)
        OnWorkEnd();
}

void TSMTPClient::Reset() {
    FSession.Begin();
    CommandExpect("RSET", {250});
}

void TSMTPClient::Send(const std::string& from, const std::vector<std::string>& recipients,
                       std::istream& source, std::int64_t expectedSize) {
    Send(from, recipients, FSession.ReadingFrom(source), expectedSize);
}

void TSMTPClient::Send(const std::string& from, const std::vector<std::string>& recipients,
                       const TDataProducer& produce, std::int64_t expectedSize) {
    CheckAddress(from);
    for (const std::string& recipient : recipients)
        CheckAddress(recipient);
    try {
        MailFrom(from);
        for (const std::string& recipient : recipients)
            RcptTo(recipient);
        Data(produce, expectedSize);
    } catch (const EReplyError&) {
        try {
            Reset();
        } catch (const ENetError&) {
            // The refusal is what the caller needs to see; a failed RSET only ends the connection.
        }
        throw;
    }
}

} // namespace zr::net
