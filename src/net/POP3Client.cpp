#include "net/POP3Client.h"

#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>

namespace zr::net {

const TReply& TPOP3Client::CommandExpect(std::string_view line, TAnswer answer) {
    const TReply& reply = FSession.Command(line, answer);
    if (reply.Status() != TReplyStatus::rsPositive)
        FSession.RaiseReplyError();
    return reply;
}

void TPOP3Client::Connect() {
    Open();
    try {
        if (FSession.ReadReply().Status() != TReplyStatus::rsPositive)
            FSession.RaiseReplyError("Connecting to");
        if (WantsStartTLS()) {
            // A server without CAPA answers -ERR: it offers no STLS either.
            const TReply& capa = FSession.Command("CAPA", TAnswer::taReplyAndBlock);
            if (capa.Status() == TReplyStatus::rsPositive)
                FSession.ReadDataBlock();
            bool offered = capa.Status() == TReplyStatus::rsPositive &&
                           std::any_of(capa.Block.begin(), capa.Block.end(), [](const std::string& line) {
                               return EqualsNoCase(TrimView(line), "STLS");
                           });
            if (offered) {
                CommandExpect("STLS");
                StartTLS();
            } else {
                StartTLSNotOffered("STLS");
            }
        }
        if (BeforeLogin)
            BeforeLogin();
        CommandExpect("USER " + Username);
        CommandExpect("PASS " + Password);
    } catch (...) {
        FSession.Drop();
        throw;
    }
}

TMailboxStatus TPOP3Client::Stat() {
    FSession.Begin();
    std::string text = CommandExpect("STAT").FinalLineText();
    TMailboxStatus status;
    const char* end = text.data() + text.size();
    auto count = std::from_chars(text.data(), end, status.Count);
    bool ok = count.ec == std::errc() && count.ptr != end && *count.ptr == ' ';
    if (ok) {
        auto size = std::from_chars(count.ptr + 1, end, status.Size);
        ok = size.ec == std::errc() && (size.ptr == end || *size.ptr == ' ');
    }
    if (!ok || status.Count < 0 || status.Size < 0)
        throw EProtocolError(FormatNetMessage("STAT on", FConnection.PeerText(),
                                              fmt::format("malformed answer \"{}\"", Printable(text))));
    return status;
}

} // namespace zr::net
