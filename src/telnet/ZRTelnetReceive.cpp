#include "telnet/ZRTelnetReceive.h"

namespace zr {

std::string DecodeAscii(std::string_view bytes) {
    std::string text(bytes);
    for (char& c : text)
        if (static_cast<unsigned char>(c) > 127)
            c = '?';
    return text;
}

std::string CleanLogText(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if ((u >= 32 && u <= 122) || c == '\r' || c == '\n')
            clean += c;
    }
    return clean;
}

std::string MaskSecret(std::string text, std::string_view secret) {
    if (secret.empty())
        return text;
    constexpr std::string_view mask = "********";
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + mask.size()))
        text.replace(at, secret.size(), mask);
    return text;
}

std::string TSecretHoldback::Pass(std::string_view text) {
    std::string masked = MaskSecret(FHeld + std::string(text), FSecret);
    FHeld.clear();
    for (std::size_t length =
             std::min(masked.size(), FSecret.size() - std::min<std::size_t>(FSecret.size(), 1));
         length > 0; --length) {
        if (masked.ends_with(std::string_view(FSecret).substr(0, length))) {
            FHeld = masked.substr(masked.size() - length);
            masked.resize(masked.size() - length);
            break;
        }
    }
    return masked;
}

std::string TSecretHoldback::Rest() {
    if (FHeld.empty())
        return {};
    FHeld.clear();
    return "********";
}

void TTelnetReceiveBuffer::Append(std::string_view text) {
    std::lock_guard lock(FLock);
    if (!FWanted.empty() && !FFound) {
        // The wanted text may begin in what came before.
        const std::size_t overlap = std::min(FText.size(), FWanted.size() - 1);
        FFound = (FText.substr(FText.size() - overlap) + std::string(text.substr(0, FWanted.size() - 1)))
                         .find(FWanted) != std::string::npos ||
                 text.find(FWanted) != std::string_view::npos;
    }
    // Trimmed only once it holds twice the limit, so a stream costs one move per MiB, not per chunk.
    if (FText.size() + text.size() > 2 * Limit) {
        std::size_t keep = Limit - std::min(Limit, text.size());
        FText.erase(0, FText.size() - std::min(FText.size(), keep));
        text = text.substr(text.size() - std::min(text.size(), Limit));
    }
    FText.append(text);
}

std::string_view TTelnetReceiveBuffer::Kept() const {
    std::string_view all(FText);
    return all.substr(all.size() - std::min(all.size(), Limit));
}

void TTelnetReceiveBuffer::Expect(std::string text) {
    std::lock_guard lock(FLock);
    FWanted = std::move(text);
    FFound = false;
}

bool TTelnetReceiveBuffer::Contains(std::string_view text) const {
    std::lock_guard lock(FLock);
    return (FFound && text == FWanted) || Kept().find(text) != std::string_view::npos;
}

bool TTelnetReceiveBuffer::Take(std::string_view text) {
    std::lock_guard lock(FLock);
    bool found = (FFound && text == FWanted) || Kept().find(text) != std::string_view::npos;
    FText.clear();
    FWanted.clear();
    FFound = false;
    return found;
}

std::string TTelnetReceiveBuffer::Text() const {
    std::lock_guard lock(FLock);
    return std::string(Kept());
}

} // namespace zr
