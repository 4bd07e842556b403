#include "icq/ICQText.h"

#include <array>
#include <ctime>
#include <fmt/format.h>
#include <optional>

namespace zr::icq {

namespace {

// The code point of the UTF-8 sequence at pos, advancing pos; nothing for a broken sequence
// (pos then moves one byte).
std::optional<char32_t> NextCodePoint(std::string_view text, std::size_t& pos) {
    auto lead = static_cast<std::uint8_t>(text[pos++]);
    if (lead < 0x80)
        return lead;
    std::size_t more = lead >= 0xF5 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
    if (more == 0 || pos + more > text.size())
        return std::nullopt;
    char32_t code = lead & (0x3F >> more);
    for (std::size_t i = 0; i < more; ++i) {
        auto next = static_cast<std::uint8_t>(text[pos + i]);
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        code = code << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::array<char32_t, 4> least{0, 0x80, 0x800, 0x10000};
    if (code < least[more] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return std::nullopt;
    pos += more;
    return code;
}

} // namespace

std::string WireText(std::string_view utf8) {
    std::string out;
    for (std::size_t pos = 0; pos < utf8.size();) {
        auto code = NextCodePoint(utf8, pos);
        out += code && *code <= 0xFF ? static_cast<char>(*code) : '?';
    }
    return out;
}

std::string FromWireText(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        auto byte = static_cast<std::uint8_t>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | byte >> 6);
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string UTF8ToStr(std::string_view bytes) {
    for (std::size_t pos = 0; pos < bytes.size();)
        if (!NextCodePoint(bytes, pos))
            return FromWireText(bytes);
    return std::string(bytes);
}

std::uint32_t StatusToInt(std::uint32_t status) {
    auto all = [status](std::uint32_t bits) { return (status & bits) == bits; };
    if (all(0x13))
        return 19;
    if (all(0x11))
        return 17;
    if (all(0x05))
        return 5;
    if (status & 0x10)
        return 17;
    if (status & 0x01)
        return 1;
    if (status & 0x100)
        return 0x100;
    if (status & 0x20)
        return 32;
    if (status & 0x04)
        return 5;
    return 0;
}

std::string EscapeXMLText(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string GetXMLEntry(std::string_view tag, std::string_view xml) {
    std::string open = fmt::format("<{}>", tag);
    std::string close = fmt::format("</{}>", tag);
    auto start = xml.find(open);
    if (start == std::string_view::npos)
        return {};
    start += open.size();
    auto end = xml.find(close, start);
    if (end == std::string_view::npos)
        return {};
    return std::string(xml.substr(start, end - start));
}

std::string GetSMSTime(std::chrono::system_clock::time_point time) {
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return fmt::format("{:02} {} {:04} {:02}:{:02}:{:02} GMT", utc.tm_mday, months[utc.tm_mon],
                       utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

} // namespace zr::icq
