// What FTP replies carry: paths, data addresses, times, features, checksums and sizes.
#include "net/FTPReplyText.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    using namespace zr::net;
    (void)ParseQuotedPath(text);
    if (auto pasv = ParsePasvReply(text)) {
        if (pasv->Port == 0)
            __builtin_trap();
        (void)ChoosePassiveAddress(pasv->Address, "203.0.113.1");
    }
    if (auto port = ParseEpsvReply(text); port && *port == 0)
        __builtin_trap();
    (void)IsNonPublicAddress(text);
    if (auto when = ParseFTPTimestamp(text))
        (void)FormatFTPTimestamp(*when);
    (void)ParseSizeReply(text);
    (void)ParseTransferSize(text);
    TReply reply{211, {}, {}};
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            reply.Lines.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    auto features = ParseFeatures(reply);
    (void)HasFeature(features, "MLST");
    (void)ParseXCRCReply(reply);
    return 0;
}
