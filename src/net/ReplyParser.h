// Incremental parser of numeric command replies (RFC 959 single- and multi-line form); no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zr::net {

struct TReply {
    int Code = 0;
    // Lines as received, without the line end; the first and last carry the code prefix.
    std::vector<std::string> Lines;

    // Text of every line with the "123-" / "123 " prefix removed where present, joined by "\n".
    std::string Text() const;
    // Every line followed by CR LF, as a reply is shown to a user.
    std::string FormattedText() const;
    // Text of the final line without its code prefix.
    std::string FinalLineText() const;
    bool IsPositive() const { return Code >= 100 && Code < 400; }
};

struct TReplyLimits {
    // Longest line accepted, line end excluded. Servers send a few hundred bytes at most.
    std::size_t MaxLineLength = 8192;
    // Most lines one reply may hold (a FEAT or HELP reply has some dozens).
    std::size_t MaxLines = 4096;
};

class TReplyParser {
public:
    enum class TStatus { rsNeedMore, rsComplete };

    explicit TReplyParser(TReplyLimits limits = {}) : FLimits(limits) {}

    // Consumes bytes up to the end of the current reply and reports how many were used; bytes
    // after a complete reply are left for the next one. Throws EProtocolError on malformed input.
    std::size_t Feed(std::string_view data, TStatus& status);
    // The finished reply; valid after Feed reported rsComplete, until Reset.
    const TReply& Reply() const { return FReply; }
    TReply TakeReply();
    void Reset();
    bool InProgress() const { return !FLine.empty() || !FReply.Lines.empty(); }

private:
    bool LineDone(std::string line);

    TReplyLimits FLimits;
    TReply FReply;
    std::string FLine;
    bool FComplete = false;
};

// Reads "NNN" from the start of a line; -1 when the line does not begin with a valid code
// (first digit 1-6, then two digits, then end of line, blank or '-').
int ReplyCodeOf(std::string_view line);

} // namespace zr::net
