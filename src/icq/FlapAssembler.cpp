#include "icq/FlapAssembler.h"

#include <fmt/format.h>

namespace zr::icq {

namespace {

TFlapHdr HeaderOf(std::string_view bytes) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    TFlapHdr header;
    header.Ident = byte(0);
    header.ChID = byte(1);
    header.Seq = static_cast<std::uint16_t>(byte(2) << 8 | byte(3));
    header.DataLen = static_cast<std::uint16_t>(byte(4) << 8 | byte(5));
    return header;
}

} // namespace

void TFlapAssembler::Feed(std::string_view bytes, const TFrameHandler& onFrame) {
    std::uint64_t generation = FGeneration;
    while (!bytes.empty()) {
        // Take only what completes the header or the frame, so that the buffer never holds more
        // than one frame.
        std::size_t want = FlapHeaderSize;
        if (FPending.size() >= FlapHeaderSize)
            want += HeaderOf(FPending).DataLen;
        std::size_t take = std::min(want - FPending.size(), bytes.size());
        FPending.append(bytes.substr(0, take));
        bytes.remove_prefix(take);
        if (FPending.size() < want)
            return;
        TFlapHdr header = HeaderOf(FPending);
        if (want == FlapHeaderSize) {
            if (header.DataLen > MaxFlapDataSize) {
                Reset();
                throw EICQPacketError("Length of incoming packet exceeds maximum supported by protocol");
            }
            if (header.Ident != FlapMarker) {
                Reset();
                throw EICQPacketError("Received malformed packet");
            }
            if (header.DataLen > 0)
                continue;
        }
        TFlapFrame frame{header, FPending.substr(FlapHeaderSize)};
        FPending.clear();
        onFrame(frame);
        if (generation != FGeneration)
            return;
    }
}

void TFlapAssembler::Reset() {
    FPending.clear();
    ++FGeneration;
}

} // namespace zr::icq
