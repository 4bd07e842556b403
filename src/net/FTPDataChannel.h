// Internal to the FTP client: ownership of the data connection while a transfer runs.
#pragma once

#include "net/FTPClient.h"

namespace zr::net {

// Publishes the data connection to Abort for its lifetime; resets it unless closed cleanly.
class TFTPClient::TDataChannelScope {
public:
    TDataChannelScope(TFTPClient& client, std::unique_ptr<TTCPConnection> channel);
    ~TDataChannelScope();
    TDataChannelScope(const TDataChannelScope&) = delete;
    TDataChannelScope& operator=(const TDataChannelScope&) = delete;

    TTCPConnection& Channel() { return *FChannel; }
    void Close();

private:
    TFTPClient& FClient;
    std::unique_ptr<TTCPConnection> FChannel;
    bool FClosed = false;
};

} // namespace zr::net
