// FTP pieces of line peer scripts: the login every session starts with and the data connections.
#pragma once

#include "support/FTPServerFixture.h"
#include "support/LinePeer.h"

#include <string>
#include <vector>

namespace quillate::testing {

struct TFTPLogin {
    std::vector<std::string> Features; // offered in the FEAT reply ("SIZE", "UTF8", "HOST")
    std::string User = TFTPTestServer::User;
    std::string Password = TFTPTestServer::Password;
    std::string Host; // the argument of the HOST command the client must send; empty: none
};

// Greeting, FEAT, HOST when asked for, USER, PASS, OPTS UTF8 ON when UTF8 is offered, TYPE I.
TLineScript FTPLogin(const TFTPLogin& login = {});
// EPSV answered with a listener of the peer for the next data connection.
TLineScript FTPEpsv();
// PASV answered with a listener of the peer announced under `announced` ("0,0,0,0").
TLineScript FTPPasv(const std::string& announced);
// EPRT naming the client's own address; the peer connects back for the next data connection, first
// from `intruder` when given: the client must close that one and keep waiting for ours.
TLineScript FTPEprt(const std::string& intruder = {});
// Over the data connection agreed on last: bytes sent, or an upload received and kept as a block.
TLineScript FTPSendData(std::string bytes);
TLineScript FTPReceiveData();

} // namespace quillate::testing
