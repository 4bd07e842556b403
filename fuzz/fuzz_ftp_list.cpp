// Directory listings in every format, fed in pieces; the first bytes choose format and piece size.
#include "net/FTPListParser.h"
#include "net/NetErrors.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    auto format = static_cast<zr::net::TFTPListFormat>(data[0] % 5);
    std::size_t piece = data[1] % 128 + 1;
    std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);
    zr::net::TListingLimits limits;
    limits.MaxLineLength = 1024;
    limits.MaxLines = 1000;
    limits.MaxBytes = 64 * 1024;
    zr::net::TFTPListingParser parser(format, 1615809600, limits);
    try {
        for (std::size_t pos = 0; pos < input.size(); pos += piece)
            parser.Feed(input.substr(pos, piece));
        parser.Finish();
    } catch (const zr::net::EProtocolError&) {
    }
    for (const auto& item : parser.Items())
        if (item.FileName.empty() || item.Size < -1)
            __builtin_trap();
    return 0;
}
