// ASCII-mode line ends: the network's CR LF to the local LF and back, chunk by chunk; no I/O.
#pragma once

#include <string>
#include <string_view>

namespace zr::net {

class TLineEndConverter {
public:
    enum class TDirection { ldToNetwork, ldToLocal };

    explicit TLineEndConverter(TDirection direction) : FDirection(direction) {}

    // The converted chunk; valid until the next call. The buffer is reused, so a transfer
    // allocates only while its chunks grow.
    std::string_view Convert(std::string_view chunk);
    // What is still held at the end of the data: a CR that no LF followed.
    std::string_view Finish();

private:
    TDirection FDirection;
    std::string FOut;
    // Received: a CR ended the last chunk and waits to see whether an LF follows.
    // Sent: the last byte was a CR, so an LF starting the next chunk already has its CR.
    bool FAfterCR = false;
};

} // namespace zr::net
