// An e-mail message as the sending actions compose it: headers, text parts, an optional
// multipart/alternative container and file attachments, written out through GMime as MIME
// (RFC 2045-2049, RFC 2047 headers) straight into a sink. The description is kept in plain fields
// and turned into a GMime tree at each write, so one message can go out many times with other
// recipients; attachment files are opened at the write and read while they are sent, never held
// whole in memory.
#pragma once

#include "net/NetErrors.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zr::net {

struct TMimeAddress {
    std::string Name;    // display name, UTF-8; may be empty
    std::string Address; // addr-spec ("user@example.org")
};

enum class TMimePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };

// A text part (or, with a multipart content type and no text, the alternative container).
struct TMimeTextPart {
    std::string Text;        // UTF-8; converted to Charset when written
    std::string ContentType; // "text/plain", "text/html" or "multipart/alternative"
    std::string Charset;     // empty: the message's charset
    std::string Disposition; // "inline", or empty for none
    int Parent = -1;         // index of the container part, or -1 for the message itself
};

struct TMimeAttachment {
    std::string Path;        // local file, read at each write
    std::string ContentId;   // without the angle brackets
    std::string ContentType; // empty: "application/octet-stream"
    std::string Disposition; // empty: "attachment"
};

class TMimeMessage {
public:
    TMimeMessage();
    ~TMimeMessage();
    TMimeMessage(const TMimeMessage&) = delete;
    TMimeMessage& operator=(const TMimeMessage&) = delete;

    // Character set of the headers and text parts ("iso-8859-2", "utf-8", ...); empty: UTF-8
    // where the text is not plain ASCII. An unknown set fails at Write with EMimeError.
    std::string Charset;
    TMimePriority Priority = TMimePriority::mpNormal;
    std::string MessageId; // without the angle brackets; empty: none
    std::string UserAgent; // the sending program's name; empty: no User-Agent header
    std::string Subject;
    TMimeAddress From;
    TMimeAddress Sender;                     // no header when the address is empty
    TMimeAddress DispositionNotificationTo;  // RFC 8098; no header when the address is empty
    std::vector<TMimeAddress> To;
    std::vector<TMimeAddress> Cc;
    std::vector<TMimeAddress> ReplyTo;
    std::vector<std::string> Newsgroups; // an article's groups; no header when empty
    // Blind copies never appear in the message; the sender gives them to RCPT only.

    // The message's own content type: "text/plain", "multipart/mixed" or "multipart/alternative".
    // Empty: a lone text part is the message itself; more parts make it multipart/mixed.
    std::string ContentType;
    // The message's own text when it is not multipart; in a multipart/mixed one, the first text part.
    std::string Body;
    std::vector<TMimeTextPart> TextParts;
    std::vector<TMimeAttachment> Attachments;
    // True when the text parts were added before the attachments; decides their order in the tree.
    bool TextFirst = true;

    // Empties everything.
    void Clear();

    // Writes the whole message (headers, blank line, body) with CRLF line ends, in chunks. A
    // failure (missing attachment, bad charset, a sink that throws) raises EMimeError, or the
    // sink's own exception, and nothing more is written.
    using TSink = std::function<void(std::string_view chunk)>;
    void Write(const TSink& sink) const;
    // Raises what Write would raise before writing anything (a header or character set that cannot be
    // used, a missing attachment), without writing: a sender checks the message before its first command.
    void Check() const;
};

} // namespace zr::net
