// What the Telnet action keeps of the text a server sends, and how that text is shown in the log.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace zr {

// Received bytes as the script sees them: 7-bit ASCII, every other byte read as "?".
std::string DecodeAscii(std::string_view bytes);
// A received text as the log shows it: every character below 32 or above 122 is removed, except
// CR and LF.
std::string CleanLogText(std::string_view text);
// The text with every occurrence of the secret replaced by "********"; an empty secret masks nothing.
std::string MaskSecret(std::string text, std::string_view secret);

// Received text on its way to the log, masked across reads: a tail that may be the start of the secret
// waits for what follows, so that a secret a server echoes a byte at a time never reaches the log in
// pieces.
class TSecretHoldback {
public:
    void SetSecret(std::string secret) { FSecret = std::move(secret); }
    // What may be logged now, the secret masked; the tail that may begin it is kept back.
    std::string Pass(std::string_view text);
    // What was kept back, once nothing more comes: masked, as it may be most of the secret.
    std::string Rest();

private:
    std::string FSecret;
    std::string FHeld;
};

// The text received since the last wait ended. The reading thread appends while the worker thread
// waits on it, so every operation holds the lock.
class TTelnetReceiveBuffer {
public:
    // Only the last MiB counts: a server streaming for ever cannot exhaust memory, and a prompt at
    // the end of the stream is still found.
    static constexpr std::size_t Limit = 1024 * 1024;

    void Append(std::string_view text);
    // Starts a wait for the text: from now on each Append looks for it before the bound drops bytes, so
    // that a prompt followed at once by more than the bound is still found.
    void Expect(std::string text);
    bool Contains(std::string_view text) const;
    // Whether the text is there, emptying the buffer in the same step, so that what arrives just
    // after the check is kept for the next wait.
    bool Take(std::string_view text);
    // The text a wait would search now.
    std::string Text() const;

private:
    std::string_view Kept() const;

    mutable std::mutex FLock;
    std::string FText;
    std::string FWanted; // what the running wait looks for; empty when none runs
    bool FFound = false; // FWanted arrived, whether or not it is still kept
};

} // namespace zr
