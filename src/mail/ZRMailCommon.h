// What the e-mail and news actions share besides the network library: how their protocol log shows
// an event, and the small file and text checks of composing a message.
#pragma once

#include "base/Text.h"
#include "net/MimeMessage.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zr {

// An event of the protocol log as lines: text + " : " + data, or text + " : pass xxx" when the data
// mentions a password; cut at each CR (an LF right after it dropped).
std::vector<std::string> MaskedEventLines(std::string_view text, std::string_view data);

using quillate::base::LowerCase;
using quillate::base::TrimBlanks;

// What the file costs on the wire as a base64 attachment, line ends included; 0 when it is gone.
std::int64_t EncodedAttachmentSize(const std::string& path);

// An attachment for the file, named by its file name; a ".txt" file (any letter case) is text/plain.
net::TMimeAttachment AttachmentFor(const std::string& path);

} // namespace zr
