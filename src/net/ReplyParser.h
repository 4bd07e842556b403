// Incremental parsers of what line protocols answer: numeric replies (FTP, SMTP, NNTP), POP3
// status lines and dot-terminated data blocks; they take bytes and do no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zr::net {

// What a reply means to the command it answers, the same way for every protocol: 1xx and 2xx,
// "+OK" are positive; 3xx and POP3's "+ " ask for more (a password, SASL data, the message);
// 4xx, 5xx and "-ERR" refuse. 6xx (RFC 2228's protected replies) say nothing until decoded and
// count as intermediate.
enum class TReplyStatus { rsPositive, rsIntermediate, rsNegative };

struct TReply {
    // The three-digit code of a numeric reply; 0 for a POP3 status line.
    int Code = 0;
    // Lines as received, without the line end; the first and last carry the code or status.
    std::vector<std::string> Lines;
    // The data block read after this reply (POP3 multi-line responses, NNTP multi-line data
    // blocks), dot-stuffing undone, without the terminating ".".
    std::vector<std::string> Block;

    TReplyStatus Status() const;
    // Text of every line with the code or status prefix removed where present, joined by "\n".
    std::string Text() const;
    // Text of the final line without its prefix.
    std::string FinalLineText() const;

    bool operator==(const TReply&) const = default;
};

// Named bounds for one reply or block; a peer past any of them breaks the protocol.
struct TLineLimits {
    // Longest line accepted, line end excluded.
    std::size_t MaxLineLength;
    std::size_t MaxLines;
    // Every byte of the unit, line ends included.
    std::size_t MaxBytes;
};

// Replies: servers send a few hundred bytes a line, and a FEAT, EHLO or HELP reply some dozens
// of lines.
inline constexpr TLineLimits DefaultReplyLimits{8192, 4096, 1024 * 1024};
// Data blocks read into memory: lists a server gives of itself (POP3 CAPA); a server streaming one
// for ever is cut off at a few MiB.
inline constexpr TLineLimits DefaultBlockLimits{8192, 100'000, 4 * 1024 * 1024};

// The framing all three parsers share: lines ended by LF (a CR before it dropped), under limits.
class TLineParser {
public:
    enum class TProgress { lpNeedMore, lpComplete };

    virtual ~TLineParser() = default;

    // Consumes bytes up to the end of the current unit and reports how many were used; bytes after
    // a complete unit are left for the next one. Throws EProtocolError on malformed input or past
    // a limit; the parser must then be Reset before it is used again.
    std::size_t Feed(std::string_view data, TProgress& progress);
    // Forgets a unit in progress.
    void Reset();

protected:
    TLineParser(TLineLimits limits, const char* unit) : FLimits(limits), FUnit(unit) {}

    // One complete line without its line end; true when it completes the unit.
    virtual bool LineDone(std::string line) = 0;
    virtual void ClearUnit() = 0;

private:
    TLineLimits FLimits;
    const char* FUnit;
    std::string FLine;
    std::size_t FLineCount = 0;
    std::size_t FByteCount = 0;
    bool FComplete = false;
};

// What the two reply parsers share: the reply being read.
class TReplyLineParser : public TLineParser {
public:
    // The finished reply, after Feed reported lpComplete.
    TReply TakeReply();

protected:
    using TLineParser::TLineParser;
    void ClearUnit() override { FReply = {}; }

    TReply FReply;
};

// FTP's reply (RFC 959: "123-" opens, free text in between, "123 " with the same code closes) and
// SMTP's and NNTP's, whose every inner line is "123-".
class TNumericReplyParser final : public TReplyLineParser {
public:
    explicit TNumericReplyParser(TLineLimits limits = DefaultReplyLimits) : TReplyLineParser(limits, "reply") {}

private:
    bool LineDone(std::string line) override;
};

// POP3's one-line answers: "+OK text", "-ERR text", and "+ data" where SASL wants more (RFC 5034).
class TStatusReplyParser final : public TReplyLineParser {
public:
    explicit TStatusReplyParser(TLineLimits limits = DefaultReplyLimits) : TReplyLineParser(limits, "reply") {}

private:
    bool LineDone(std::string line) override;
};

// Lines up to a lone "." (RFC 1939 multi-line responses, RFC 3977 multi-line data blocks), with
// the dot-stuffing of lines that begin with "." undone.
class TDataBlockParser final : public TLineParser {
public:
    explicit TDataBlockParser(TLineLimits limits = DefaultBlockLimits) : TLineParser(limits, "data block") {}
    std::vector<std::string> TakeLines();

private:
    bool LineDone(std::string line) override;
    void ClearUnit() override { FLines.clear(); }

    std::vector<std::string> FLines;
};

// Reads "NNN" from the start of a line; -1 when the line does not begin with a valid code
// (first digit 1-6, then two digits, then end of line, blank or '-').
int ReplyCodeOf(std::string_view line);

} // namespace zr::net
