// The OSCAR packet buffer: fixed-order appends that build a packet and bounded reads that take a
// received one apart. Nothing here does I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zr::icq {

constexpr std::size_t MaxPacketSize = 8192;
constexpr std::size_t FlapHeaderSize = 6;
constexpr std::size_t SnacHeaderSize = 10;
// The most a frame may carry after its header and still fit one packet buffer.
constexpr std::size_t MaxFlapDataSize = MaxPacketSize - FlapHeaderSize;
constexpr std::uint8_t FlapMarker = 0x2A;

enum TFlapChannel : std::uint8_t { fcSignOn = 1, fcSnac = 2, fcClose = 4, fcKeepAlive = 5 };

// A received packet that is short, oversized or does not follow the protocol.
class EICQPacketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The FLAP header as the client keeps it.
struct TFlapHdr {
    std::uint8_t Ident = 0;
    std::uint8_t ChID = 0;
    std::uint16_t Seq = 0;
    std::uint16_t DataLen = 0;
};

struct TSnacHdr {
    std::uint16_t Family = 0;
    std::uint16_t SubType = 0;
    std::uint16_t Flags = 0;
    std::uint32_t ReqID = 0;
};

// While a packet is built, Len counts the bytes written; while one is read, Len is the read position
// and End the number of bytes received.
struct TRawPkt {
    std::array<std::uint8_t, MaxPacketSize> Data{};
    std::uint16_t Len = 0;
    std::uint16_t End = 0;
    // Set when a write was cut: such a packet must not be sent, its length fields no longer match.
    bool Cut = false;

    // A packet to read from; more than a buffer holds is an error.
    static TRawPkt FromBytes(std::string_view bytes);
    // The bytes written so far.
    std::string_view Bytes() const { return {reinterpret_cast<const char*>(Data.data()), Len}; }
    std::size_t Remaining() const { return End > Len ? End - Len : 0; }
};

// Writers append at Len. A write that would pass the end of the buffer is cut to the space left.
void PktInitRaw(TRawPkt& pkt);
// Starts a frame on the channel with the sender's sequence number, which then advances (wrapping).
void PktInit(TRawPkt& pkt, std::uint8_t channel, std::uint16_t& seq);
// Stores the frame's data length into its header.
void PktFinal(TRawPkt& pkt);
void PktSnac(TRawPkt& pkt, std::uint16_t family, std::uint16_t subType, std::uint16_t flags,
             std::uint32_t reqId);
// The low size bytes (1, 2 or 4) of value, big-endian / little-endian.
void PktInt(TRawPkt& pkt, std::uint32_t value, int size);
void PktLInt(TRawPkt& pkt, std::uint32_t value, int size);
void PktAddArrBuf(TRawPkt& pkt, std::string_view bytes);
void PktStr(TRawPkt& pkt, std::string_view bytes);
// One length byte, then the bytes (cut to 255 so that the length stays true).
void PktLStr(TRawPkt& pkt, std::string_view bytes);
void PktLStr(TRawPkt& pkt, std::uint32_t number);
// A TLV whose value is value in size bytes, big-endian (size 0: an empty TLV).
void PktTLV(TRawPkt& pkt, std::uint16_t type, int size, std::uint32_t value);
void PktTLV(TRawPkt& pkt, std::uint16_t type, std::string_view bytes);

// Readers take from Len and advance it; a read past End throws EICQPacketError and moves nothing.
std::uint32_t GetInt(TRawPkt& pkt, int size);
std::uint32_t GetLInt(TRawPkt& pkt, int size);
std::string GetStr(TRawPkt& pkt, std::size_t n);
void PktSkip(TRawPkt& pkt, std::size_t n);
std::string GetLStr(TRawPkt& pkt);
std::string GetWStr(TRawPkt& pkt);
std::string GetDWStr(TRawPkt& pkt);
std::string GetTLVStr(TRawPkt& pkt, std::uint16_t& type);
// A TLV whose value is a big-endian number of at most 4 bytes.
std::uint32_t GetTLVInt(TRawPkt& pkt, std::uint16_t& type);
TSnacHdr GetSnac(TRawPkt& pkt);

} // namespace zr::icq
