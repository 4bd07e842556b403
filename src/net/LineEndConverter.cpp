#include "net/LineEndConverter.h"

namespace zr::net {

std::string_view TLineEndConverter::Convert(std::string_view chunk) {
    FOut.clear();
    FOut.reserve(2 * chunk.size() + 1);
    if (FDirection == TDirection::ldToNetwork) {
        for (char c : chunk) {
            if (c == '\n' && !FAfterCR)
                FOut += '\r';
            FAfterCR = c == '\r';
            FOut += c;
        }
        return FOut;
    }
    for (char c : chunk) {
        if (FAfterCR) {
            FAfterCR = false;
            if (c != '\n')
                FOut += '\r'; // a CR of its own is data
        }
        if (c == '\r')
            FAfterCR = true;
        else
            FOut += c;
    }
    return FOut;
}

std::string_view TLineEndConverter::Finish() {
    FOut.clear();
    if (FDirection == TDirection::ldToLocal && FAfterCR)
        FOut += '\r';
    FAfterCR = false;
    return FOut;
}

} // namespace zr::net
