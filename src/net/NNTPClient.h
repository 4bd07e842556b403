// NNTP client (RFC 3977) for posting: greeting, AUTHINFO USER/PASS (RFC 4643), POST with the article
// streamed as a dot-terminated block, QUIT; blocking on the caller's thread, Abort from any
// thread, a stop through its token. Settings, time-outs and the stop are the mail clients' own.
#pragma once

#include "net/MailClient.h"

#include <cstdint>
#include <functional>

namespace zr::net {

class TNNTPClient : public TMailClient {
public:
    using TWorkBeginEvent = std::function<void(std::int64_t expectedSize)>;
    using TWorkEvent = std::function<void(std::int64_t bytesSoFar)>;
    using TWorkEndEvent = std::function<void()>;

    TNNTPClient();

    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;

    // Connects and reads the greeting (200 or 201; anything else raises EReplyError with its
    // text), starts TLS when UseTLS asks for STARTTLS (RFC 4642), and logs in with AUTHINFO USER
    // and PASS when Username is not empty.
    void Connect();
    // POST, the article from produce as it is written (never held whole), and the server's 240.
    // A refusal before or after the article raises EReplyError with the server's text.
    void Post(const TDataProducer& produce, std::int64_t expectedSize = -1);
    const TReply& LastReply() const { return FSession.LastReply(); }
};

} // namespace zr::net
