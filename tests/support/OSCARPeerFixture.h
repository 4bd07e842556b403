// The scripted OSCAR peer (tests/servers/oscar_peer.py): an ICQ login server and the service server
// it redirects to, on 127.0.0.1, with what the client sent recorded as events.
#pragma once

#include "support/ServerProcess.h"

namespace quillate::testing {

class TOSCARPeer : public TServerFixture {
public:
    // How the peer behaves; see the peer's own help for the values.
    struct TScript {
        std::string Mode = "ok";
        std::string SMS = "deliverable";
        bool Split = false;
        std::string Reach = "direct";
        std::string Password = "icq-s3cret";
    };
    static constexpr std::uint32_t UIN = 271828;

    explicit TOSCARPeer(TScript script) : TServerFixture("quillate-oscar"), FScript(std::move(script)) {}
    TOSCARPeer() : TOSCARPeer(TScript{}) {}
    void Start();

    // The events the peer recorded so far, one JSON object a line.
    std::vector<std::string> Events() const;
    // The names of the events ("login-connect", "identified", ...), in order.
    std::vector<std::string> EventNames() const;
    bool WaitForEvent(const std::string& name, std::chrono::milliseconds timeout) const;

private:
    TScript FScript;
};

} // namespace quillate::testing
