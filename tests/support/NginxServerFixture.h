// nginx serving a folder of static files on 127.0.0.1, in the foreground from a temporary folder
// of its own: for bodies too large for the Python test server to serve at speed.
#pragma once

#include "support/ServerProcess.h"

namespace quillate::testing {

class TNginxServer : public TServerFixture {
public:
    TNginxServer() : TServerFixture("quillate-nginx") {}
    void Start();

    // The folder served at "/"; files put there are served at once.
    std::filesystem::path Root() const { return FDir.Path() / "www"; }
};

} // namespace quillate::testing
