#include "icq/RawPacket.h"

#include <algorithm>
#include <fmt/format.h>

namespace zr::icq {

namespace {

void Append(TRawPkt& pkt, const std::uint8_t* bytes, std::size_t n) {
    std::size_t room = MaxPacketSize - pkt.Len;
    if (n > room) {
        n = room;
        pkt.Cut = true;
    }
    std::copy_n(bytes, n, pkt.Data.begin() + pkt.Len);
    pkt.Len = static_cast<std::uint16_t>(pkt.Len + n);
}

void RequireIntSize(int size) {
    if (size != 1 && size != 2 && size != 4)
        throw std::invalid_argument(fmt::format("integer field of {} bytes", size));
}

// Throws unless n more bytes can be read.
void Need(const TRawPkt& pkt, std::size_t n, std::string_view what) {
    if (n > pkt.Remaining())
        throw EICQPacketError(fmt::format("Packet too short: {} needs {} bytes at offset {}, {} left", what,
                                          n, pkt.Len, pkt.Remaining()));
}

std::uint32_t ReadNumber(TRawPkt& pkt, int size, bool bigEndian) {
    if (size == 0)
        return 0;
    RequireIntSize(size);
    Need(pkt, static_cast<std::size_t>(size), "a number");
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
        std::uint32_t byte = pkt.Data[pkt.Len + i];
        value |= bigEndian ? byte << (8 * (size - 1 - i)) : byte << (8 * i);
    }
    pkt.Len = static_cast<std::uint16_t>(pkt.Len + size);
    return value;
}

void WriteNumber(TRawPkt& pkt, std::uint32_t value, int size, bool bigEndian) {
    RequireIntSize(size);
    std::uint8_t bytes[4];
    for (int i = 0; i < size; ++i) {
        int shift = bigEndian ? 8 * (size - 1 - i) : 8 * i;
        bytes[i] = static_cast<std::uint8_t>(value >> shift);
    }
    Append(pkt, bytes, static_cast<std::size_t>(size));
}

// Runs a read of several fields; when one of them fails the position goes back to where it was.
template <class TRead> auto WholeOrNothing(TRawPkt& pkt, TRead read) {
    std::uint16_t start = pkt.Len;
    try {
        return read();
    } catch (const EICQPacketError&) {
        pkt.Len = start;
        throw;
    }
}

} // namespace

TRawPkt TRawPkt::FromBytes(std::string_view bytes) {
    if (bytes.size() > MaxPacketSize)
        throw EICQPacketError(
            fmt::format("Packet of {} bytes exceeds the {} a buffer holds", bytes.size(), MaxPacketSize));
    TRawPkt pkt;
    std::copy(bytes.begin(), bytes.end(), pkt.Data.begin());
    pkt.End = static_cast<std::uint16_t>(bytes.size());
    return pkt;
}

void PktInitRaw(TRawPkt& pkt) {
    pkt.Len = 0;
}

void PktInit(TRawPkt& pkt, std::uint8_t channel, std::uint16_t& seq) {
    pkt.Len = 0;
    PktInt(pkt, FlapMarker, 1);
    PktInt(pkt, channel, 1);
    PktInt(pkt, seq, 2);
    PktInt(pkt, 0, 2);
    ++seq;
}

void PktFinal(TRawPkt& pkt) {
    auto length = static_cast<std::uint16_t>(pkt.Len - FlapHeaderSize);
    pkt.Data[4] = static_cast<std::uint8_t>(length >> 8);
    pkt.Data[5] = static_cast<std::uint8_t>(length);
}

void PktSnac(TRawPkt& pkt, std::uint16_t family, std::uint16_t subType, std::uint16_t flags,
             std::uint32_t reqId) {
    PktInt(pkt, family, 2);
    PktInt(pkt, subType, 2);
    PktInt(pkt, flags, 2);
    PktInt(pkt, reqId, 4);
}

void PktInt(TRawPkt& pkt, std::uint32_t value, int size) {
    WriteNumber(pkt, value, size, true);
}

void PktLInt(TRawPkt& pkt, std::uint32_t value, int size) {
    WriteNumber(pkt, value, size, false);
}

void PktAddArrBuf(TRawPkt& pkt, std::string_view bytes) {
    Append(pkt, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void PktStr(TRawPkt& pkt, std::string_view bytes) {
    PktAddArrBuf(pkt, bytes);
}

void PktLStr(TRawPkt& pkt, std::string_view bytes) {
    bytes = bytes.substr(0, 255);
    PktInt(pkt, static_cast<std::uint32_t>(bytes.size()), 1);
    PktStr(pkt, bytes);
}

void PktLStr(TRawPkt& pkt, std::uint32_t number) {
    PktLStr(pkt, std::to_string(number));
}

void PktTLV(TRawPkt& pkt, std::uint16_t type, int size, std::uint32_t value) {
    PktInt(pkt, type, 2);
    PktInt(pkt, static_cast<std::uint32_t>(size), 2);
    if (size != 0)
        PktInt(pkt, value, size);
}

void PktTLV(TRawPkt& pkt, std::uint16_t type, std::string_view bytes) {
    PktInt(pkt, type, 2);
    PktInt(pkt, static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), 0xFFFF)), 2);
    PktAddArrBuf(pkt, bytes);
}

std::uint32_t GetInt(TRawPkt& pkt, int size) {
    return ReadNumber(pkt, size, true);
}

std::uint32_t GetLInt(TRawPkt& pkt, int size) {
    return ReadNumber(pkt, size, false);
}

std::string GetStr(TRawPkt& pkt, std::size_t n) {
    Need(pkt, n, "a text");
    std::string text(reinterpret_cast<const char*>(pkt.Data.data()) + pkt.Len, n);
    pkt.Len = static_cast<std::uint16_t>(pkt.Len + n);
    return text;
}

void PktSkip(TRawPkt& pkt, std::size_t n) {
    Need(pkt, n, "a skipped field");
    pkt.Len = static_cast<std::uint16_t>(pkt.Len + n);
}

std::string GetLStr(TRawPkt& pkt) {
    return WholeOrNothing(pkt, [&] { return GetStr(pkt, GetInt(pkt, 1)); });
}

std::string GetWStr(TRawPkt& pkt) {
    return WholeOrNothing(pkt, [&] { return GetStr(pkt, GetInt(pkt, 2)); });
}

std::string GetDWStr(TRawPkt& pkt) {
    return WholeOrNothing(pkt, [&] { return GetStr(pkt, GetLInt(pkt, 4)); });
}

std::string GetTLVStr(TRawPkt& pkt, std::uint16_t& type) {
    return WholeOrNothing(pkt, [&] {
        auto readType = static_cast<std::uint16_t>(GetInt(pkt, 2));
        std::string value = GetWStr(pkt);
        type = readType;
        return value;
    });
}

std::uint32_t GetTLVInt(TRawPkt& pkt, std::uint16_t& type) {
    return WholeOrNothing(pkt, [&] {
        auto readType = static_cast<std::uint16_t>(GetInt(pkt, 2));
        std::string value = GetWStr(pkt);
        if (value.size() > 4)
            throw EICQPacketError(
                fmt::format("TLV {:#06x} holds a number of {} bytes", readType, value.size()));
        std::uint32_t number = 0;
        for (char c : value)
            number = number << 8 | static_cast<std::uint8_t>(c);
        type = readType;
        return number;
    });
}

TSnacHdr GetSnac(TRawPkt& pkt) {
    Need(pkt, SnacHeaderSize, "a SNAC header");
    TSnacHdr snac;
    snac.Family = static_cast<std::uint16_t>(GetInt(pkt, 2));
    snac.SubType = static_cast<std::uint16_t>(GetInt(pkt, 2));
    snac.Flags = static_cast<std::uint16_t>(GetInt(pkt, 2));
    snac.ReqID = GetInt(pkt, 4);
    return snac;
}

} // namespace zr::icq
