// Replies and data blocks in arbitrary pieces: the first byte picks the parser and the piece size.
#include "net/NetErrors.h"
#include "net/ReplyParser.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using namespace zr::net;

constexpr TLineLimits Limits{512, 64, 8192};

void Check(const TReply& reply, bool numeric) {
    if (reply.Lines.empty() || (numeric && (reply.Code < 100 || reply.Code > 699)) || (!numeric && reply.Code != 0))
        __builtin_trap();
    (void)reply.Status();
    (void)reply.Text();
    (void)reply.FinalLineText();
}

void Check(const std::vector<std::string>& lines) {
    std::size_t bytes = 0;
    for (const auto& line : lines)
        bytes += line.size() + 1;
    if (lines.size() >= Limits.MaxLines || bytes > Limits.MaxBytes)
        __builtin_trap();
}

template <class TParser> void Run(std::string_view input, std::size_t piece) {
    TParser parser(Limits);
    try {
        std::string pending;
        for (std::size_t pos = 0; pos < input.size(); pos += piece) {
            pending.append(input.substr(pos, piece));
            for (TLineParser::TProgress progress;;) {
                std::size_t used = parser.Feed(pending, progress);
                if (used > pending.size())
                    __builtin_trap();
                pending.erase(0, used);
                if (progress != TLineParser::TProgress::lpComplete)
                    break;
                if constexpr (std::is_same_v<TParser, TDataBlockParser>)
                    Check(parser.TakeLines());
                else
                    Check(parser.TakeReply(), std::is_same_v<TParser, TNumericReplyParser>);
            }
        }
    } catch (const EProtocolError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t piece = data[0] % 64 + 1;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] / 64) {
    case 0:
    case 1:
        Run<TNumericReplyParser>(input, piece);
        break;
    case 2:
        Run<TStatusReplyParser>(input, piece);
        break;
    default:
        Run<TDataBlockParser>(input, piece);
        break;
    }
    return 0;
}
