// What the e-mail and news actions share besides the network library: how their protocol log shows
// an event, and the small file and text checks of composing a message.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/MimeMessage.h"

namespace zr {

// An event of the protocol log as lines: text + " : " + data, or text + " : pass xxx" when the data
// mentions a password; cut at each CR (an LF right after it dropped).
std::vector<std::string> MaskedEventLines(std::string_view text, std::string_view data);

// The text without blanks and control characters at either end, as a person typing it expects.
std::string_view TrimBlanks(std::string_view text);

std::string LowerCase(std::string text);

// What the file costs on the wire as a base64 attachment, line ends included; 0 when it is gone.
std::int64_t EncodedAttachmentSize(const std::string& path);

// Speed and share of the message data sent so far, for the progress lines of both mail actions.
class TSendProgress {
public:
    // What the composed message is expected to cost; the composing steps add to it.
    std::int64_t ExpectedTotal = 0;

    // A transfer starts; an announced size that is positive replaces the expected total.
    void Begin(std::int64_t announced);
    // The speed since Begin, for bytes sent so far.
    void Update(std::int64_t bytes);
    void End();
    double Speed() const { return FSpeed; }
    // Of the expected total, rounded, at most 100; 0 without a total.
    int Percent(std::int64_t bytes) const;
    // "Upload speed : 1.50 KB/s"
    std::string SpeedText() const;

private:
    std::chrono::steady_clock::time_point FStart;
    double FSpeed = 0;
};

// An attachment for the file, named by its file name; a ".txt" file (any letter case) is text/plain.
net::TMimeAttachment AttachmentFor(const std::string& path);

} // namespace zr
