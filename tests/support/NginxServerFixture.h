// nginx serving a folder of static files on 127.0.0.1, in the foreground from a temporary folder
// of its own: for bodies too large for the Python test server to serve at speed.
#pragma once

#include "support/ServerProcess.h"

#include <cstdint>
#include <filesystem>

namespace quillate::testing {

class TNginxServer {
public:
    TNginxServer() = default;
    ~TNginxServer() { FProcess.Stop(); }

    // Throws when nginx does not come up: a missing server is a failure, never a skip.
    void Start();

    std::uint16_t Port() const { return FPort; }
    // The folder served at "/"; files put there are served at once.
    std::filesystem::path Root() const { return FDir.Path() / "www"; }

private:
    TTempDir FDir{"quillate-nginx"};
    TServerProcess FProcess;
    std::uint16_t FPort = 0;
};

} // namespace quillate::testing
