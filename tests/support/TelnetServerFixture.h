// Telnet servers started per test on 127.0.0.1: busybox telnetd with a login script, and our
// scripted peer (tests/servers/telnet_peer.py).
#pragma once

#include "support/ServerProcess.h"

#include <cstdint>
#include <string>

namespace quillate::testing {

class TTelnetTestServer {
public:
    // The account of the login script.
    static constexpr const char* User = "tester";
    static constexpr const char* Password = "s3cr3t-pw";
    // The shell's prompt after a login.
    static constexpr const char* Prompt = "quillate$ ";

    TTelnetTestServer() = default;
    ~TTelnetTestServer() { FProcess.Stop(); }

    // Throws when telnetd does not come up. With echoPassword the login script turns no echo off
    // and writes the password back after reading it, as a careless login would.
    void Start(bool echoPassword = false, const std::string& password = Password);
    std::uint16_t Port() const { return FPort; }

private:
    TTempDir FDir{"quillate-telnetd"};
    TServerProcess FProcess;
    std::uint16_t FPort = 0;
};

class TScriptedTelnetPeer {
public:
    TScriptedTelnetPeer() = default;
    ~TScriptedTelnetPeer() { FProcess.Stop(); }

    // Throws when the peer does not come up; the scenarios are described in telnet_peer.py.
    void Start(const std::string& scenario);
    std::uint16_t Port() const { return FPort; }
    // Connections accepted since Start (the start-up probe not counted).
    int Connections() const;

private:
    int Accepted() const;

    TTempDir FDir{"quillate-telnet-peer"};
    TServerProcess FProcess;
    std::uint16_t FPort = 0;
    int FBaseline = 0;
};

} // namespace quillate::testing
