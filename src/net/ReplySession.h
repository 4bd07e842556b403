// Command/reply engine over one connection, shared by the FTP, SMTP, POP3 and NNTP clients: it
// writes command lines, reads replies by the protocol's rule, and keeps the stream in step across
// aborts and failures.
#pragma once

#include "net/ReplyParser.h"
#include "net/SentLineMasker.h"
#include "net/TCPConnection.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

namespace zr::net {

// How a protocol ends its replies.
enum class TReplySyntax {
    rsNumeric, // FTP, SMTP, NNTP: "250 text", or "250-" lines up to "250 "
    rsStatus,  // POP3: "+OK text", "-ERR text", "+ data"
};

struct TReplyRules {
    // Names the protocol in messages ("FTP 127.0.0.1:21: not connected").
    std::string Protocol;
    TReplySyntax Syntax = TReplySyntax::rsNumeric;
    // FTP: a 1xx reply announces another one to the same command; elsewhere 1xx is the answer.
    bool PreliminaryReplies = false;
    TLineLimits ReplyLimits = DefaultReplyLimits;
    TLineLimits BlockLimits = DefaultBlockLimits;
};

// Hands the body of a data block to write, in chunks of any size, as it produces them.
using TDataProducer = std::function<void(const std::function<void(std::string_view)>& write)>;

// What a command gets back: its reply, or, when the protocol says so for that command (POP3
// RETR, LIST, CAPA; NNTP LIST, ARTICLE, OVER ...), a data block after a positive reply.
enum class TAnswer { taReply, taReplyAndBlock };

class TReplySession {
public:
    TReplySession(TTCPConnection& connection, TReplyRules rules);

    // Start of every command: the connection is open (else ENotConnected), a stale abort is
    // cleared, and what an aborted command still owes is read.
    void Begin();
    // Writes one command line; the line as logs and errors show it is kept for RaiseReplyError.
    // A line holding CR, LF or NUL is refused with EUnsafeCommand before anything is written; a
    // line that fails half-way drops the connection, as the peer's view of the stream is unknown.
    void SendCommand(std::string_view line, TAnswer answer = TAnswer::taReply);
    // Reads one reply; the read time-out covers the whole reply. An abort leaves the reply owed
    // (the next Begin reads it); any other failure drops the connection.
    const TReply& ReadReply();
    // Reads the data block that follows the last reply into LastReply().Block.
    const TReply& ReadDataBlock();
    const TReply& Command(std::string_view line, TAnswer answer = TAnswer::taReply);
    // Sends a dot-terminated data block read from source in chunks (never held whole), after the
    // reply that invited it (SMTP 354, NNTP 340); its reply is then owed. progress gets the bytes
    // of source sent so far after each block written. Any failure, an abort included, drops the connection:
    // the peer cannot be told where a cut-off block ended.
    void SendDataBlock(std::istream& source, const std::function<void(std::int64_t)>& progress = {});
    // The same with the body pushed by produce; whatever produce throws drops the connection too.
    void SendDataBlock(const TDataProducer& produce, const std::function<void(std::int64_t)>& progress = {});
    // A producer that reads source to its end; a read failure raises EFileError naming the peer.
    TDataProducer ReadingFrom(std::istream& source) const;
    static constexpr std::size_t DataBlockSize = 64 * 1024;
    const TReply& LastReply() const { return FLastReply; }
    // The last command sent, as logs and errors show it.
    const std::string& LastCommand() const { return FLastCommand; }

    // Thread-safe: the command running on the session's thread fails with EOperationAborted.
    void Abort() { FConnection.Abort(); }
    // A stop through the token fails the running command and every later one with EOperationAborted.
    void SetStopToken(std::stop_token token) { FConnection.SetStopToken(std::move(token)); }
    // Says goodbye (QUIT, the same word in all four protocols) when the stream is in step, reading
    // what is owed with a short time-out, and closes; never throws.
    void Quit();
    // Closes at once and forgets every owed reply.
    void Drop();
    // Fresh state for a new connection.
    void Reset();

    // EReplyError for the last reply, naming the last command sent ("CWD /x on host:21: 550 ...").
    [[noreturn]] void RaiseReplyError() const;
    [[noreturn]] void RaiseReplyError(std::string_view activity) const;

private:
    template <class TStep> decltype(auto) Traffic(TStep&& step);
    void ReadUnit(TLineParser& parser, std::string_view activity);
    // Every reply and data block still owed, oldest first.
    void ReadWhatIsOwed();
    void Resynchronise();

    TTCPConnection& FConnection;
    TReplyRules FRules;
    TNumericReplyParser FNumericParser;
    TStatusReplyParser FStatusParser;
    TDataBlockParser FBlockParser;
    TSentLineMasker FMasker;
    TReply FLastReply;
    std::string FLastCommand; // masked
    // One entry per command whose answer is still unread, oldest first.
    std::deque<TAnswer> FOwed;
    bool FBlockOwed = false;
};

} // namespace zr::net
