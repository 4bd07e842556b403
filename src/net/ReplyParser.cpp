#include "net/ReplyParser.h"

#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <fmt/format.h>

namespace zr::net {

namespace {

// Shown in error messages: hostile servers may send binary junk of any length.
std::string Printable(std::string_view line) {
    std::string out;
    for (char c : line.substr(0, 60)) {
        auto u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7f) ? c : '?';
    }
    if (line.size() > 60)
        out += "...";
    return out;
}

std::string_view StripPrefix(std::string_view line, int code) {
    if (line.size() >= 3 && ReplyCodeOf(line) == code) {
        line.remove_prefix(3);
        if (!line.empty() && (line.front() == ' ' || line.front() == '-'))
            line.remove_prefix(1);
    }
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

std::string TReply::Text() const {
    std::string out;
    for (std::size_t i = 0; i < Lines.size(); ++i) {
        if (i > 0)
            out += '\n';
        out += StripPrefix(Lines[i], Code);
    }
    return out;
}

std::string TReply::FormattedText() const {
    std::string out;
    for (const auto& line : Lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

std::string TReply::FinalLineText() const {
    if (Lines.empty())
        return {};
    return std::string(StripPrefix(Lines.back(), Code));
}

void TReplyParser::Reset() {
    FReply = {};
    FLine.clear();
    FComplete = false;
}

TReply TReplyParser::TakeReply() {
    TReply reply = std::move(FReply);
    Reset();
    return reply;
}

std::size_t TReplyParser::Feed(std::string_view data, TStatus& status) {
    if (FComplete)
        Reset();
    std::size_t used = 0;
    while (used < data.size()) {
        std::string_view rest = data.substr(used);
        std::size_t lf = rest.find('\n');
        std::string_view piece = lf == std::string_view::npos ? rest : rest.substr(0, lf);
        // One byte of slack for the CR that may end the line.
        if (FLine.size() + piece.size() > FLimits.MaxLineLength + 1)
            throw EProtocolError(fmt::format("reply line longer than {} bytes", FLimits.MaxLineLength));
        FLine.append(piece);
        if (lf == std::string_view::npos) {
            used = data.size();
            break;
        }
        used += lf + 1;
        std::string line = std::move(FLine);
        FLine.clear();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > FLimits.MaxLineLength)
            throw EProtocolError(fmt::format("reply line longer than {} bytes", FLimits.MaxLineLength));
        if (LineDone(std::move(line))) {
            FComplete = true;
            status = TStatus::rsComplete;
            return used;
        }
    }
    status = TStatus::rsNeedMore;
    return used;
}

bool TReplyParser::LineDone(std::string line) {
    if (FReply.Lines.empty()) {
        int code = ReplyCodeOf(line);
        if (code < 0)
            throw EProtocolError(fmt::format("malformed reply \"{}\"", Printable(line)));
        FReply.Code = code;
        bool multi = line.size() > 3 && line[3] == '-';
        FReply.Lines.push_back(std::move(line));
        return !multi;
    }
    if (FReply.Lines.size() >= FLimits.MaxLines)
        throw EProtocolError(fmt::format("multi-line reply {} longer than {} lines", FReply.Code,
                                         FLimits.MaxLines));
    // Only "NNN " (or a bare "NNN") with the opening code ends a multi-line reply; "NNN-" lines
    // and free text in between are part of it.
    bool last = ReplyCodeOf(line) == FReply.Code && (line.size() == 3 || line[3] == ' ');
    FReply.Lines.push_back(std::move(line));
    return last;
}

} // namespace zr::net
