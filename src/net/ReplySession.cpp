#include "net/ReplySession.h"

#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <fmt/format.h>

#include <algorithm>

namespace zr::net {

std::string CommandForDisplay(std::string_view line) {
    std::string_view verb = line.substr(0, line.find(' '));
    if (IEquals(verb, "PASS") || IEquals(verb, "ACCT"))
        return std::string(verb);
    return std::string(line);
}

void TReplySession::SendCommand(std::string_view line) {
    std::string wire;
    wire.reserve(line.size() + 2);
    wire.append(line);
    wire.append("\r\n");
    // An abort that is already pending fails before a byte is written, so the stream stays intact.
    if (FConnection.AbortRequested())
        throw EOperationAborted(FormatNetMessage("Writing to", FConnection.PeerText(), "operation aborted"));
    try {
        FConnection.Write(wire);
    } catch (...) {
        FBroken = true;
        throw;
    }
    ++FPending;
}

void TReplySession::Reset() {
    FParser.Reset();
    FLastReply = {};
    FPending = 0;
    FBroken = false;
}

const TReply& TReplySession::ReadReply() {
    auto deadline = TTCPConnection::Clock::now() + FConnection.ReadTimeout();
    for (;;) {
        std::string_view buffered = FConnection.Buffered();
        if (!buffered.empty()) {
            TReplyParser::TStatus status;
            std::size_t used;
            try {
                used = FParser.Feed(buffered, status);
            } catch (const EProtocolError& e) {
                throw EProtocolError(FormatNetMessage("Reading reply from", FConnection.PeerText(), e.what()));
            }
            FConnection.Consume(used);
            if (status == TReplyParser::TStatus::rsComplete) {
                FLastReply = FParser.TakeReply();
                if (FLastReply.Code >= 200 && FPending > 0)
                    --FPending;
                return FLastReply;
            }
        }
        if (!FConnection.FillBuffer(deadline))
            throw EConnClosedGracefully(
                FormatNetMessage("Reading reply from", FConnection.PeerText(), "connection closed by peer"));
    }
}

const TReply& TReplySession::Command(std::string_view line) {
    SendCommand(line);
    return ReadReply();
}

void TReplySession::Check(std::string_view activity, std::initializer_list<int> expected) const {
    if (expected.size() == 0)
        return;
    if (std::find(expected.begin(), expected.end(), FLastReply.Code) == expected.end())
        RaiseReplyError(activity);
}

void TReplySession::CheckClass(std::string_view activity, int firstDigit) const {
    if (FLastReply.Code / 100 != firstDigit)
        RaiseReplyError(activity);
}

void TReplySession::RaiseReplyError(std::string_view activity) const {
    std::string reason = fmt::format("{} {}", FLastReply.Code, FLastReply.Text());
    throw EReplyError(FormatNetMessage(activity, FConnection.PeerText(), reason), FLastReply.Code,
                      FLastReply.Lines);
}

} // namespace zr::net
