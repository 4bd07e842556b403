// What a server sends and what we send, as the protocol log and the ASCII transfers see it, in
// arbitrary pieces: the first byte sets the piece size.
#include "net/LineEndConverter.h"
#include "net/LogEventIntercept.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zr::net;
    if (size == 0)
        return 0;
    std::size_t piece = data[0] % 64 + 1;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    TLogEventIntercept log([](TLogEventType, std::string_view line) {
        if (line.size() > TLogLineSplitter::MaxLine || line.find('\r') != std::string_view::npos)
            __builtin_trap();
    });
    TLineEndConverter toLocal(TLineEndConverter::TDirection::ldToLocal);
    TLineEndConverter toNetwork(TLineEndConverter::TDirection::ldToNetwork);
    std::string local, network;
    for (std::size_t pos = 0; pos < input.size(); pos += piece) {
        std::string_view chunk = input.substr(pos, piece);
        log.Received(chunk);
        log.Sent(chunk);
        local += toLocal.Convert(chunk);
        network += toNetwork.Convert(chunk);
    }
    log.Status(TConnectionStatus::csDisconnected, "Disconnected.");
    local += toLocal.Finish();
    network += toNetwork.Finish();
    // Network text has no LF without its CR; local text only loses bytes (a CR before an LF).
    for (std::size_t i = 0; i < network.size(); ++i)
        if (network[i] == '\n' && (i == 0 || network[i - 1] != '\r'))
            __builtin_trap();
    if (local.size() > input.size())
        __builtin_trap();
    return 0;
}
