#include "net/ReplyParser.h"

#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <fmt/format.h>

namespace zr::net {

namespace {

// The status word of a POP3 line and its meaning; nullptr when the line has none. The word must be
// followed by a blank or end the line ("+OKAY" is not "+OK").
struct TStatusWord {
    std::string_view Word;
    TReplyStatus Status;
};

const TStatusWord* StatusWordOf(std::string_view line) {
    static constexpr TStatusWord words[] = {
        {"+OK", TReplyStatus::rsPositive}, {"-ERR", TReplyStatus::rsNegative}, {"+", TReplyStatus::rsIntermediate}};
    for (const auto& w : words) {
        if (line.size() >= w.Word.size() && EqualsNoCase(line.substr(0, w.Word.size()), w.Word) &&
            (line.size() == w.Word.size() || line[w.Word.size()] == ' '))
            return &w;
    }
    return nullptr;
}

std::string_view StripPrefix(std::string_view line, int code) {
    std::size_t prefix = 0;
    if (code != 0) {
        if (ReplyCodeOf(line) == code)
            prefix = 3;
    } else if (const auto* word = StatusWordOf(line)) {
        prefix = word->Word.size();
    }
    line.remove_prefix(prefix);
    if (prefix > 0 && !line.empty() && (line.front() == ' ' || (code != 0 && line.front() == '-')))
        line.remove_prefix(1);
    return line;
}

} // namespace

int ReplyCodeOf(std::string_view line) {
    if (line.size() < 3 || !IsAsciiDigit(line[0]) || !IsAsciiDigit(line[1]) || !IsAsciiDigit(line[2]))
        return -1;
    if (line[0] < '1' || line[0] > '6')
        return -1;
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-')
        return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

TReplyStatus TReply::Status() const {
    if (Code == 0) {
        const auto* word = Lines.empty() ? nullptr : StatusWordOf(Lines.front());
        return word ? word->Status : TReplyStatus::rsNegative;
    }
    switch (Code / 100) {
    case 1:
    case 2:
        return TReplyStatus::rsPositive;
    case 4:
    case 5:
        return TReplyStatus::rsNegative;
    default:
        return TReplyStatus::rsIntermediate;
    }
}

std::string TReply::Text() const {
    std::string out;
    for (std::size_t i = 0; i < Lines.size(); ++i) {
        if (i > 0)
            out += '\n';
        out += StripPrefix(Lines[i], Code);
    }
    return out;
}

std::string TReply::FinalLineText() const {
    if (Lines.empty())
        return {};
    return std::string(StripPrefix(Lines.back(), Code));
}

void TLineParser::Reset() {
    FLine.clear();
    FLineCount = 0;
    FByteCount = 0;
    FComplete = false;
    ClearUnit();
}

std::size_t TLineParser::Feed(std::string_view data, TProgress& progress) {
    if (FComplete)
        Reset();
    std::size_t used = 0;
    while (used < data.size()) {
        std::string_view rest = data.substr(used);
        std::size_t lf = rest.find('\n');
        std::string_view piece = lf == std::string_view::npos ? rest : rest.substr(0, lf);
        // One byte of slack for the CR that may end the line; refused before it is buffered.
        if (FLine.size() + piece.size() > FLimits.MaxLineLength + 1)
            throw EProtocolError(fmt::format("{} line longer than {} bytes", FUnit, FLimits.MaxLineLength));
        std::size_t taken = lf == std::string_view::npos ? piece.size() : lf + 1;
        if (FByteCount + taken > FLimits.MaxBytes)
            throw EProtocolError(fmt::format("{} longer than {} bytes", FUnit, FLimits.MaxBytes));
        FByteCount += taken;
        FLine.append(piece);
        used += taken;
        if (lf == std::string_view::npos)
            break;
        std::string line = std::move(FLine);
        FLine.clear();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > FLimits.MaxLineLength)
            throw EProtocolError(fmt::format("{} line longer than {} bytes", FUnit, FLimits.MaxLineLength));
        if (++FLineCount > FLimits.MaxLines)
            throw EProtocolError(fmt::format("{} longer than {} lines", FUnit, FLimits.MaxLines));
        if (LineDone(std::move(line))) {
            FComplete = true;
            progress = TProgress::lpComplete;
            return used;
        }
    }
    progress = TProgress::lpNeedMore;
    return used;
}

TReply TReplyLineParser::TakeReply() {
    TReply reply = std::move(FReply);
    Reset();
    return reply;
}

bool TNumericReplyParser::LineDone(std::string line) {
    if (FReply.Lines.empty()) {
        int code = ReplyCodeOf(line);
        if (code < 0)
            throw EProtocolError(fmt::format("malformed reply \"{}\"", Printable(line)));
        FReply.Code = code;
        bool multi = line.size() > 3 && line[3] == '-';
        FReply.Lines.push_back(std::move(line));
        return !multi;
    }
    // Only "NNN " (or a bare "NNN") with the opening code ends a multi-line reply; "NNN-" lines
    // and free text in between are part of it.
    bool last = ReplyCodeOf(line) == FReply.Code && (line.size() == 3 || line[3] == ' ');
    FReply.Lines.push_back(std::move(line));
    return last;
}

bool TStatusReplyParser::LineDone(std::string line) {
    if (StatusWordOf(line) == nullptr)
        throw EProtocolError(fmt::format("malformed status line \"{}\"", Printable(line)));
    FReply.Lines.push_back(std::move(line));
    return true;
}

std::vector<std::string> TDataBlockParser::TakeLines() {
    std::vector<std::string> lines = std::move(FLines);
    Reset();
    return lines;
}

bool TDataBlockParser::LineDone(std::string line) {
    if (line == ".")
        return true;
    if (!line.empty() && line.front() == '.')
        line.erase(0, 1);
    FLines.push_back(std::move(line));
    return false;
}

} // namespace zr::net
