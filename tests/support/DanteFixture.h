// Dante (danted) as a SOCKS4 and SOCKS5 proxy on 127.0.0.1. An open proxy also takes SOCKS5
// clients without credentials; a strict one only takes a SOCKS5 user with the system account's
// password, which the fixture creates.
#pragma once

#include "support/ServerProcess.h"

namespace quillate::testing {

class TDanteProxy : public TServerFixture {
public:
    explicit TDanteProxy(bool strict = false) : TServerFixture("quillate-dante"), FStrict(strict) {}
    // Throws when the account cannot be made either.
    void Start();

    static constexpr const char* User = "qsocksuser";
    static constexpr const char* Password = "s0cks-s3cret";

private:
    bool FStrict;
};

} // namespace quillate::testing
