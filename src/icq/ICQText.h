// Text as the ICQ service carries it: 8-bit wire text, UTF-8 inside SMS XML, status classes, the
// XML fields of SMS answers and the SMS time stamp.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace zr::icq {

// UTF-8 text as 8-bit wire text: one byte per character; characters above 255 and broken
// sequences become "?".
std::string WireText(std::string_view utf8);
// 8-bit wire text as UTF-8.
std::string FromWireText(std::string_view bytes);
// Bytes that should be UTF-8: kept when they are, read as 8-bit text when they are not.
std::string UTF8ToStr(std::string_view bytes);

// The status class of a status word: 0 online, 1 away, 5 N/A, 17 occupied, 19 DND, 32 free for
// chat, 0x100 invisible.
std::uint32_t StatusToInt(std::uint32_t status);

// The text between the first <tag> and the first </tag> after it; empty when either is missing.
std::string GetXMLEntry(std::string_view tag, std::string_view xml);
// Text as XML character data: "&", "<" and ">" as entities, so that a message cannot end or add elements.
std::string EscapeXMLText(std::string_view text);

// The time as an SMS request states it: "06 Dec 2026 09:47:07 GMT" (UTC).
std::string GetSMSTime(std::chrono::system_clock::time_point time = std::chrono::system_clock::now());

} // namespace zr::icq
