#include "net/ReplySession.h"

#include "net/DataBlockWriter.h"

#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <fmt/format.h>

#include <algorithm>
#include <istream>
#include <vector>

namespace zr::net {

TReplySession::TReplySession(TTCPConnection& connection, TReplyRules rules)
    : FConnection(connection), FRules(std::move(rules)), FNumericParser(FRules.ReplyLimits),
      FStatusParser(FRules.ReplyLimits), FBlockParser(FRules.BlockLimits) {}

template <class TStep> decltype(auto) TReplySession::Traffic(TStep&& step) {
    try {
        return step();
    } catch (const EOperationAborted&) {
        throw; // the answer stays owed; the next Begin reads it
    } catch (const ENetError&) {
        Drop();
        throw;
    }
}

void TReplySession::Begin() {
    if (!FConnection.IsOpen())
        throw ENotConnected(FormatNetMessage(FRules.Protocol, FConnection.PeerText(), "not connected"));
    FConnection.ClearAbort();
    if (FBlockOwed || !FOwed.empty())
        Resynchronise();
}

void TReplySession::ReadWhatIsOwed() {
    while (FBlockOwed || !FOwed.empty()) {
        if (FBlockOwed)
            ReadDataBlock();
        else
            ReadReply();
    }
}

void TReplySession::Resynchronise() {
    try {
        ReadWhatIsOwed();
    } catch (const EOperationAborted&) {
        throw;
    } catch (const ENetError& e) {
        throw ESocketError(fmt::format("Reading the replies left by an aborted command: {}", e.what()),
                           std::make_error_code(std::errc::protocol_error));
    }
}

void TReplySession::SendCommand(std::string_view line, TAnswer answer) {
    if (HoldsLineBreakOrNul(line)) {
        std::string shown = TSentLineMasker(FMasker).Sent(line);
        throw EUnsafeCommand(FormatNetMessage("Sending to", FConnection.PeerText(),
                                              fmt::format("\"{}\" holds CR, LF or NUL", Printable(shown))));
    }
    // An abort that is already pending fails before a byte is written, so the stream stays in step.
    if (FConnection.AbortRequested())
        throw EOperationAborted(FormatNetMessage("Writing to", FConnection.PeerText(), "operation aborted"));
    std::string wire;
    wire.reserve(line.size() + 2);
    wire.append(line);
    wire.append("\r\n");
    try {
        FConnection.Write(wire);
    } catch (...) {
        // Part of the line may have gone out: the peer's view of the stream is unknown.
        Drop();
        throw;
    }
    FLastCommand = FMasker.Sent(line);
    FOwed.push_back(answer);
}

void TReplySession::ReadUnit(TLineParser& parser, std::string_view activity) {
    auto deadline = TTCPConnection::Clock::now() + FConnection.ReadTimeout();
    for (;;) {
        std::string_view buffered = FConnection.Buffered();
        if (!buffered.empty()) {
            TLineParser::TProgress progress;
            std::size_t used;
            try {
                used = parser.Feed(buffered, progress);
            } catch (const EProtocolError& e) {
                throw EProtocolError(FormatNetMessage(activity, FConnection.PeerText(), e.what()));
            }
            FConnection.Consume(used);
            if (progress == TLineParser::TProgress::lpComplete)
                return;
        }
        if (!FConnection.FillBuffer(deadline))
            throw EConnClosedGracefully(FormatNetMessage(activity, FConnection.PeerText(), "connection closed by peer"));
    }
}

const TReply& TReplySession::ReadReply() {
    return Traffic([&]() -> const TReply& {
        bool numeric = FRules.Syntax == TReplySyntax::rsNumeric;
        ReadUnit(numeric ? static_cast<TLineParser&>(FNumericParser) : FStatusParser, "Reading reply from");
        FLastReply = numeric ? FNumericParser.TakeReply() : FStatusParser.TakeReply();
        FMasker.Received(FLastReply.Lines.front());
        bool preliminary = FRules.PreliminaryReplies && FLastReply.Code / 100 == 1;
        if (!preliminary && !FOwed.empty()) {
            TAnswer answer = FOwed.front();
            FOwed.pop_front();
            FBlockOwed = answer == TAnswer::taReplyAndBlock && FLastReply.Status() == TReplyStatus::rsPositive;
        }
        return FLastReply;
    });
}

const TReply& TReplySession::ReadDataBlock() {
    return Traffic([&]() -> const TReply& {
        FBlockOwed = true; // until the terminating line, also across an abort
        ReadUnit(FBlockParser, "Reading data block from");
        FLastReply.Block = FBlockParser.TakeLines();
        FBlockOwed = false;
        return FLastReply;
    });
}

const TReply& TReplySession::Command(std::string_view line, TAnswer answer) {
    SendCommand(line, answer);
    return ReadReply();
}

TDataProducer TReplySession::ReadingFrom(std::istream& source) const {
    return [this, &source](const std::function<void(std::string_view)>& write) {
        std::vector<char> chunk(DataBlockSize);
        for (;;) {
            source.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            auto got = static_cast<std::size_t>(source.gcount());
            if (source.bad())
                throw EFileError(FormatNetMessage("Reading the data block for", FConnection.PeerText(),
                                                  "the source failed"),
                                 std::make_error_code(std::errc::io_error));
            write(std::string_view(chunk.data(), got));
            if (got < chunk.size())
                break;
        }
    };
}

void TReplySession::SendDataBlock(std::istream& source, const std::function<void(std::int64_t)>& progress) {
    SendDataBlock(ReadingFrom(source), progress);
}

void TReplySession::SendDataBlock(const TDataProducer& produce, const std::function<void(std::int64_t)>& progress) {
    // The producer's chunks may be tiny (a header line) or huge; the socket sees blocks of about
    // DataBlockSize and progress fires once per block.
    std::string wire;
    wire.reserve(DataBlockSize + DataBlockSize / 4);
    TDataBlockEncoder encoder;
    std::int64_t consumed = 0;
    std::int64_t reported = 0;
    auto flush = [&] {
        FConnection.Write(wire);
        wire.clear();
        if (progress && consumed > reported)
            progress(reported = consumed);
    };
    FConnection.AnnounceStatus(TConnectionStatus::csDataBlockStart, "Sending the data block.");
    try {
        produce([&](std::string_view chunk) {
            while (!chunk.empty()) {
                std::string_view piece = chunk.substr(0, DataBlockSize);
                encoder.Encode(piece, wire);
                consumed += static_cast<std::int64_t>(piece.size());
                chunk.remove_prefix(piece.size());
                if (wire.size() >= DataBlockSize)
                    flush();
            }
        });
        encoder.Finish(wire);
        flush();
    } catch (...) {
        FConnection.AnnounceStatus(TConnectionStatus::csDataBlockEnd, "The data block was cut off.");
        Drop();
        throw;
    }
    FConnection.AnnounceStatus(TConnectionStatus::csDataBlockEnd, fmt::format("Data block sent ({} bytes).", consumed));
    FLastCommand = "(data block)";
    FOwed.push_back(TAnswer::taReply);
}

void TReplySession::Quit() {
    if (FConnection.IsOpen()) {
        FConnection.ClearAbort();
        auto timeout = FConnection.ReadTimeout();
        try {
            // A peer that is gone or slow must not hold up the goodbye for a full read time-out.
            FConnection.SetReadTimeout(std::min(timeout, std::chrono::milliseconds(3000)));
            SendCommand("QUIT");
            ReadWhatIsOwed();
        } catch (const ENetError&) {
        }
        FConnection.SetReadTimeout(timeout);
    }
    Drop();
}

void TReplySession::Drop() {
    FConnection.Disconnect();
    Reset();
}

void TReplySession::Reset() {
    FNumericParser.Reset();
    FStatusParser.Reset();
    FBlockParser.Reset();
    FMasker.Reset();
    FLastReply = {};
    FLastCommand.clear();
    FOwed.clear();
    FBlockOwed = false;
}

void TReplySession::RaiseReplyError() const {
    RaiseReplyError(FLastCommand + " on");
}

void TReplySession::RaiseReplyError(std::string_view activity) const {
    std::string reason = FLastReply.Code != 0 ? fmt::format("{} {}", FLastReply.Code, FLastReply.Text())
                                              : (FLastReply.Lines.empty() ? std::string() : FLastReply.Lines.front());
    throw EReplyError(FormatNetMessage(activity, FConnection.PeerText(), reason), FLastReply.Code, FLastReply.Lines);
}

} // namespace zr::net
