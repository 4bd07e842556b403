// Cuts the byte stream of an OSCAR connection into FLAP frames, whatever the pieces it arrives in.
#pragma once

#include "icq/RawPacket.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zr::icq {

struct TFlapFrame {
    TFlapHdr Header;
    std::string Data; // the bytes after the header
};

class TFlapAssembler {
public:
    using TFrameHandler = std::function<void(const TFlapFrame&)>;

    // Hands every frame the bytes complete to onFrame, in order. A header without the start
    // marker or announcing more than a buffer holds throws EICQPacketError after the frames before
    // it were handed on; the assembler is then empty and the rest of the stream is worthless.
    // A handler that calls Reset (the connection was closed) ends the feed: the bytes after that
    // frame belonged to the old connection.
    void Feed(std::string_view bytes, const TFrameHandler& onFrame);
    // Forgets a partly received frame, for a new connection.
    void Reset();

private:
    std::string FPending;
    std::uint64_t FGeneration = 0;
};

} // namespace zr::icq
