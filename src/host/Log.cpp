#include "host/Log.h"

#include "host/CryptoUtils.h"

#include <algorithm>
#include <ctime>
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace quillate {

const char* StatusTagName(TStatusTag tag) {
    switch (tag) {
    case stInformation: return "info";
    case stSuccess: return "ok";
    case stWarning: return "warn";
    case stError: return "error";
    }
    return "info";
}

namespace {
const char* TagColour(TStatusTag tag) {
    switch (tag) {
    case stSuccess: return "\x1b[32m";
    case stWarning: return "\x1b[33m";
    case stError: return "\x1b[31m";
    default: return "";
    }
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithIgnoringCase(std::string_view text, std::size_t at, const std::string& lowerPrefix) {
    if (text.size() - at < lowerPrefix.size())
        return false;
    for (std::size_t i = 0; i < lowerPrefix.size(); ++i)
        if (LowerAscii(text[at + i]) != lowerPrefix[i])
            return false;
    return true;
}

// The length of the well-formed UTF-8 sequence at `at` (overlong forms, surrogates and code points
// beyond U+10FFFF are not), or 0.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    unsigned char lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                      : lead >= 0xF0 && lead <= 0xF4    ? 4
                                                                        : 0;
    if (length == 0 || text.size() - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0) ||
        (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90))
        return 0;
    return length;
}

std::tm LocalTime(std::chrono::system_clock::time_point time) {
    std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}
} // namespace

namespace {

// The base64 characters that depend on the secret's bytes alone when shift other bytes come before it in
// the encoded text (and anything after it): the first group's characters that mix in the bytes before,
// and the last ones that would mix in the bytes after, are left out.
std::string Base64Core(std::string_view secret, std::size_t shift) {
    std::string input(shift, '\0');
    input += secret;
    const std::string encoded = Base64Encode(input);
    const std::size_t first = shift == 0 ? 0 : shift + 1;
    const std::size_t determined = input.size() * 8 / 6;
    return determined > first ? encoded.substr(first, determined - first) : std::string();
}

} // namespace

void TSecretMask::Add(std::string_view secret) {
    if (secret.size() < MinimumLength)
        return;
    AddText(secret);
    for (std::size_t shift = 0; shift < 3; ++shift) {
        std::string core = Base64Core(secret, shift);
        AddText(core);
        // The URL-safe alphabet (RFC 4648 section 5) differs in two characters.
        std::replace(core.begin(), core.end(), '+', '-');
        std::replace(core.begin(), core.end(), '/', '_');
        AddText(core);
    }
}

void TSecretMask::AddText(std::string_view secret) {
    if (secret.size() < MinimumLength)
        return;
    std::string lower(secret);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    std::lock_guard lock(FLock);
    if (std::find(FSecrets.begin(), FSecrets.end(), lower) != FSecrets.end())
        return;
    auto at = std::find_if(FSecrets.begin(), FSecrets.end(),
                           [&](const std::string& kept) { return kept.size() < lower.size(); });
    FFirstBytes[static_cast<unsigned char>(lower.front())] = true;
    FSecrets.insert(at, std::move(lower));
}

std::string TSecretMask::Apply(std::string_view text) const {
    std::lock_guard lock(FLock);
    if (FSecrets.empty())
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (!FFirstBytes[static_cast<unsigned char>(LowerAscii(text[i]))]) {
            out += text[i++];
            continue;
        }
        auto found = std::find_if(FSecrets.begin(), FSecrets.end(),
                                  [&](const std::string& secret) { return StartsWithIgnoringCase(text, i, secret); });
        if (found != FSecrets.end()) {
            out += Mask;
            i += found->size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = Utf8SequenceLength(text, i);
        // C1 controls are U+0080..U+009F, encoded C2 80..C2 9F; some terminals obey them.
        bool control = (byte < 0x20 && byte != '\t') || byte == 0x7F ||
                       (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
        if (length == 0 || control) {
            for (std::size_t end = i + std::max<std::size_t>(length, 1); i < end; ++i)
                out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text[i]));
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

TTerminalProgress::TTerminalProgress(std::FILE* out) : FOut(out) {}

void TTerminalProgress::Progress(const std::string& action, const std::string& text, int percent) {
    std::lock_guard lock(FLock);
    std::string line = percent >= 0 ? fmt::format("[{}] {} {:3d}%", action, text, percent)
                                     : fmt::format("[{}] {}", action, text);
    if (line.size() > 100) {
        line.resize(97);
        line.append("...");
    }
    FLine = EscapeControls(line);
    auto now = std::chrono::steady_clock::now();
    if (FVisible && now - FLastDraw < std::chrono::milliseconds(100))
        return;
    FLastDraw = now;
    Draw();
}

void TTerminalProgress::Draw() {
    std::fprintf(FOut, "\r\x1b[K%s", FLine.c_str());
    std::fflush(FOut);
    FVisible = true;
}

void TTerminalProgress::Clear() {
    std::lock_guard lock(FLock);
    if (FVisible) {
        std::fputs("\r\x1b[K", FOut);
        std::fflush(FOut);
    }
    FVisible = false;
    FLine.clear();
}

void TTerminalProgress::Hide() {
    FLock.lock();
    if (FVisible) {
        std::fputs("\r\x1b[K", FOut);
        std::fflush(FOut);
    }
}

void TTerminalProgress::Restore() {
    if (FVisible)
        Draw();
    FLock.unlock();
}

TTextLogSink::TTextLogSink(std::FILE* out, bool colour, TTerminalProgress* progress)
    : FOut(out), FColour(colour), FProgress(progress) {}

std::string TTextLogSink::Format(const TLogEntry& entry, bool colour) {
    std::tm local = LocalTime(entry.Time);
    std::string prefix = fmt::format("{:%H:%M:%S}  ", local);
    std::string tag = fmt::format("{:<5}", StatusTagName(entry.Tag));
    if (colour && *TagColour(entry.Tag))
        tag = fmt::format("{}{}\x1b[0m", TagColour(entry.Tag), tag);
    std::string indent(static_cast<std::size_t>(std::max(entry.Group, 0)) * 2, ' ');
    // A text of several lines keeps every line under the same prefix.
    std::string out;
    std::size_t start = 0;
    do {
        std::size_t end = entry.Text.find('\n', start);
        std::string line = entry.Text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out += fmt::format("{}{}  {}{}\n", prefix, tag, indent, EscapeControls(line));
        start = end == std::string::npos ? end : end + 1;
    } while (start != std::string::npos && start < entry.Text.size());
    return out;
}

void TTextLogSink::Write(const TLogEntry& entry) {
    std::string text = Format(entry, FColour);
    std::lock_guard lock(FLock);
    if (FProgress)
        FProgress->Hide();
    std::fputs(text.c_str(), FOut);
    std::fflush(FOut);
    if (FProgress)
        FProgress->Restore();
}

TJsonlLogSink::TJsonlLogSink(std::FILE* out) : FOut(out) {}

namespace {
std::string JsonlTime(std::chrono::system_clock::time_point time) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03d}", LocalTime(time), ms);
}
} // namespace

void TJsonlLogSink::Write(const TLogEntry& entry) {
    nlohmann::ordered_json line;
    line["time"] = JsonlTime(entry.Time);
    line["action"] = entry.Action;
    line["tag"] = StatusTagName(entry.Tag);
    line["text"] = entry.Text;
    line["group"] = entry.Group;
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::lock_guard lock(FLock);
    std::fputs(text.c_str(), FOut);
    std::fflush(FOut);
}

TJsonlProgressSink::TJsonlProgressSink(std::FILE* out) : FOut(out) {}

void TJsonlProgressSink::Progress(const std::string& action, const std::string& text, int percent) {
    std::lock_guard lock(FLock);
    auto now = std::chrono::steady_clock::now();
    if (percent == FLastPercent && action == FLastAction && now - FLastWrite < std::chrono::milliseconds(100))
        return;
    FLastPercent = percent;
    FLastAction = action;
    FLastWrite = now;
    nlohmann::ordered_json line;
    line["time"] = JsonlTime(std::chrono::system_clock::now());
    line["action"] = action;
    line["progress"] = percent;
    line["text"] = text;
    std::string out = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fputs(out.c_str(), FOut);
    std::fflush(FOut);
}

void TMemoryLogSink::Write(const TLogEntry& entry) {
    std::lock_guard lock(FLock);
    FEntries.push_back(entry);
}

std::vector<TLogEntry> TMemoryLogSink::Entries() const {
    std::lock_guard lock(FLock);
    return FEntries;
}

std::vector<std::string> TMemoryLogSink::Texts() const {
    std::lock_guard lock(FLock);
    std::vector<std::string> texts;
    for (const auto& e : FEntries)
        texts.push_back(e.Text);
    return texts;
}

std::vector<std::string> TMemoryLogSink::Texts(TStatusTag tag) const {
    std::lock_guard lock(FLock);
    std::vector<std::string> texts;
    for (const auto& e : FEntries)
        if (e.Tag == tag)
            texts.push_back(e.Text);
    return texts;
}

bool TMemoryLogSink::Contains(const std::string& text) const {
    std::lock_guard lock(FLock);
    for (const auto& e : FEntries)
        if (e.Text == text)
            return true;
    return false;
}

void TTeeLogSink::Write(const TLogEntry& entry) {
    for (ILogSink* sink : FSinks)
        sink->Write(entry);
}

} // namespace quillate
