// What an OSCAR server sends, cut into pieces and read the way the client reads it: frame assembly,
// then per frame the login reply (channel 4), or the SNAC header, the service answer and a TLV walk
// (channel 2), and an incoming message as an SMS reply. Byte 0 gives the piece size.
#include "icq/FlapAssembler.h"
#include "icq/ServerPackets.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

using namespace zr::icq;

void Require(bool condition) {
    if (!condition)
        __builtin_trap();
}

void ReadSnacFrame(const std::string& data) {
    TRawPkt pkt = TRawPkt::FromBytes(data);
    TSnacHdr snac = GetSnac(pkt);
    if (snac.Family == 0x15 && snac.SubType == 3) {
        TRawPkt answer = pkt;
        TServiceResponse response = ParseServiceResponse(answer);
        Require(answer.Len <= answer.End);
        Require(response.Kind == TServiceResponse::srSMSAck || response.Source.empty());
    }
    if (snac.Family == 4 && snac.SubType == 7) {
        auto reply = ParseSMSReply(data);
        Require(!reply || reply->Text.size() <= 2 * data.size());
    }
    for (std::uint16_t type = 0;;) {
        std::uint16_t before = pkt.Len;
        try {
            GetTLVStr(pkt, type);
        } catch (const EICQPacketError&) {
            Require(pkt.Len == before);
            break;
        }
        Require(pkt.Len > before && pkt.Len <= pkt.End);
    }
}

void ReadFrame(const TFlapFrame& frame) {
    Require(frame.Header.Ident == FlapMarker && frame.Data.size() == frame.Header.DataLen &&
            frame.Data.size() <= MaxFlapDataSize);
    try {
        if (frame.Header.ChID == fcClose) {
            TLoginReply reply = ParseLoginReply(frame.Data);
            Require(reply.Kind != TLoginReply::lrRedirect || (reply.Port != 0 && !reply.Host.empty()));
        } else if (frame.Header.ChID == fcSnac) {
            ReadSnacFrame(frame.Data);
        }
    } catch (const EICQPacketError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    std::size_t piece = data[0] + 1;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    TFlapAssembler assembler;
    try {
        for (std::size_t pos = 0; pos < input.size(); pos += piece)
            assembler.Feed(input.substr(pos, piece), ReadFrame);
    } catch (const EICQPacketError&) {
    }
    return 0;
}
