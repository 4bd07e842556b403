// The sending side of dot-terminated data blocks (SMTP DATA, NNTP POST): a body given in chunks of
// any size leaves with CRLF line ends and every line that begins with "." stuffed (RFC 5321 4.5.2).
// Unlike the FTP line end converter, a lone CR or LF becomes CR LF too: servers that take either for
// a line end would otherwise read "\n.\n" as the end of the message and the rest as commands.
#pragma once

#include <string>
#include <string_view>

namespace zr::net {

class TDataBlockEncoder {
public:
    // Appends the wire form of the next chunk to out. CR LF, a lone LF and a lone CR each end a
    // line; a CR at the end of a chunk waits for the next one to tell which.
    void Encode(std::string_view chunk, std::string& out);
    // Ends the last line when it is open and appends the terminating ".".
    void Finish(std::string& out);

private:
    bool FAtLineStart = true;
    bool FPendingCR = false;
};

} // namespace zr::net
