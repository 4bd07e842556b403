#include "net/DataBlockWriter.h"

namespace zr::net {

void TDataBlockEncoder::Encode(std::string_view chunk, std::string& out) {
    out.reserve(out.size() + chunk.size() + chunk.size() / 32 + 4);
    for (char c : chunk) {
        if (FPendingCR) {
            FPendingCR = false;
            out.append("\r\n");
            FAtLineStart = true;
            if (c == '\n')
                continue;
        }
        if (c == '\r') {
            FPendingCR = true;
            continue;
        }
        if (c == '\n') {
            out.append("\r\n");
            FAtLineStart = true;
            continue;
        }
        if (FAtLineStart && c == '.')
            out.push_back('.');
        out.push_back(c);
        FAtLineStart = false;
    }
}

void TDataBlockEncoder::Finish(std::string& out) {
    if (FPendingCR || !FAtLineStart)
        out.append("\r\n");
    out.append(".\r\n");
    FPendingCR = false;
    FAtLineStart = true;
}

} // namespace zr::net
