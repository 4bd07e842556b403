// Telnet servers started per test on 127.0.0.1: busybox telnetd with a login script, and our
// scripted peer (tests/servers/telnet_peer.py).
#pragma once

#include "support/ServerProcess.h"

namespace quillate::testing {

class TTelnetTestServer : public TServerFixture {
public:
    // The account of the login script.
    static constexpr const char* User = "tester";
    static constexpr const char* Password = "s3cr3t-pw";
    // The shell's prompt after a login.
    static constexpr const char* Prompt = "quillate$ ";

    TTelnetTestServer() : TServerFixture("quillate-telnetd") {}
    // With echoPassword the login script turns no echo off and writes the password back after
    // reading it, as a careless login would.
    void Start(bool echoPassword = false, const std::string& password = Password);
};

class TScriptedTelnetPeer : public TServerFixture {
public:
    TScriptedTelnetPeer() : TServerFixture("quillate-telnet-peer") {}
    // The scenarios are described in telnet_peer.py.
    void Start(const std::string& scenario);
    // Connections accepted since Start (the start-up probe not counted).
    int Connections() const;

private:
    int Accepted() const;

    int FBaseline = 0;
};

} // namespace quillate::testing
