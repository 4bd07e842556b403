// Command/reply engine over one connection, shared by the FTP, SMTP, POP3 and NNTP clients.
#pragma once

#include "net/ReplyParser.h"
#include "net/TCPConnection.h"

#include <initializer_list>
#include <string>
#include <string_view>

namespace zr::net {

class TReplySession {
public:
    explicit TReplySession(TTCPConnection& connection, TReplyLimits limits = {})
        : FConnection(connection), FParser(limits) {}

    // Sends one command line; the whole line, CR LF included, is one write and so one chunk for
    // the intercepts (a protocol log can mask a password line as a unit).
    void SendCommand(std::string_view line);
    // Reads one complete reply; the read time-out covers the whole reply. A reply cut short by an
    // abort is continued by the next call.
    const TReply& ReadReply();
    const TReply& Command(std::string_view line);
    const TReply& LastReply() const { return FLastReply; }
    // Commands whose final (non-1xx) reply has not been read yet.
    int PendingReplies() const { return FPending; }
    // A command line was only partly written: the peer's view of the stream is unknown.
    bool Broken() const { return FBroken; }
    // Fresh state for a new connection.
    void Reset();

    // Raises EReplyError unless the last reply's code is one of expected (any code when empty).
    void Check(std::string_view activity, std::initializer_list<int> expected) const;
    void CheckClass(std::string_view activity, int firstDigit) const;
    [[noreturn]] void RaiseReplyError(std::string_view activity) const;

    TTCPConnection& Connection() { return FConnection; }

private:
    TTCPConnection& FConnection;
    TReplyParser FParser;
    TReply FLastReply;
    int FPending = 0;
    bool FBroken = false;
};

// "CWD /pub" for logs and errors; arguments of password commands are never shown.
std::string CommandForDisplay(std::string_view line);

} // namespace zr::net
