// Dante (danted) as a SOCKS4 and SOCKS5 proxy on 127.0.0.1. An open proxy also takes SOCKS5
// clients without credentials; a strict one only takes a SOCKS5 user with the system account's
// password, which the fixture creates.
#pragma once

#include "support/ServerProcess.h"

#include <cstdint>

namespace quillate::testing {

class TDanteProxy {
public:
    explicit TDanteProxy(bool strict = false) : FStrict(strict) {}
    // Throws when the proxy does not come up or the account cannot be made.
    void Start();
    std::uint16_t Port() const { return FPort; }

    static constexpr const char* User = "qsocksuser";
    static constexpr const char* Password = "s0cks-s3cret";

private:
    bool FStrict;
    TTempDir FDir{"quillate-dante"};
    TServerProcess FProcess;
    std::uint16_t FPort = 0;
};

} // namespace quillate::testing
