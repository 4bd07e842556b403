// Command replies in arbitrary pieces: the first byte sets the piece size.
#include "net/NetErrors.h"
#include "net/ReplyParser.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t piece = data[0] % 64 + 1;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    zr::net::TReplyLimits limits;
    limits.MaxLineLength = 512;
    limits.MaxLines = 64;
    zr::net::TReplyParser parser(limits);
    try {
        std::string pending;
        for (std::size_t pos = 0; pos < input.size(); pos += piece) {
            pending.append(input.substr(pos, piece));
            for (;;) {
                zr::net::TReplyParser::TStatus status;
                std::size_t used = parser.Feed(pending, status);
                if (used > pending.size())
                    __builtin_trap();
                pending.erase(0, used);
                if (status != zr::net::TReplyParser::TStatus::rsComplete)
                    break;
                zr::net::TReply reply = parser.TakeReply();
                if (reply.Code < 100 || reply.Code > 699 || reply.Lines.empty())
                    __builtin_trap();
                (void)reply.Text();
                (void)reply.FinalLineText();
            }
        }
    } catch (const zr::net::EProtocolError&) {
    }
    return 0;
}
