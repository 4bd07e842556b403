// News servers started per test on 127.0.0.1: jamnntpd over a fresh JAM message base, with the
// articles it stored, and our recording server (tests/servers/nntpd.py), with the articles it got.
#pragma once

#include "support/ServerProcess.h"

namespace quillate::testing {

// One message of a JAM message base as jamnntpd stored a posted article.
struct TJamArticle {
    std::string Sender;
    std::string Subject;
    // FTS kludge lines without their ^A ("REPLYADDR a@example.org", "TZUTC: 0100").
    std::vector<std::string> Kludges;
    // The body as stored: lines end with CR, dot-stuffed lines stay as they came.
    std::string Text;
};

class TNNTPTestServer : public TServerFixture {
public:
    TNNTPTestServer() : TServerFixture("quillate-jamnntpd") {}
    // The server has no SO_REUSEADDR, so every start takes a new port.
    void Start();

    // Posting needs this login; reading does not.
    static constexpr const char* User = "poster";
    static constexpr const char* Password = "n3wspass";
    // Two local groups (no origin or tear line added to posts).
    static constexpr const char* Group = "quillate.test";
    static constexpr const char* OtherGroup = "quillate.other";

    // The messages of a group, oldest first.
    std::vector<TJamArticle> Articles(const std::string& group) const;
};

class TRecordingNNTPServer : public TServerFixture {
public:
    TRecordingNNTPServer() : TServerFixture("quillate-nntpd") {}
    void Start();

    static constexpr const char* User = "poster";
    static constexpr const char* Password = "n3wspass";

    // The articles stored so far, oldest first: CR LF line ends, dot-stuffing undone.
    std::vector<std::string> Articles() const;
};

} // namespace quillate::testing
