#include "net/NNTPClient.h"

namespace zr::net {

TNNTPClient::TNNTPClient() : TMailClient("NNTP", TReplySyntax::rsNumeric, 119) {}

void TNNTPClient::Connect() {
    Open();
    try {
        int greeting = FSession.ReadReply().Code;
        if (greeting != 200 && greeting != 201)
            FSession.RaiseReplyError("Connecting to");
        if (WantsStartTLS()) {
            // RFC 4642: 382 invites the handshake; any other answer means the server cannot.
            if (FSession.Command("STARTTLS").Code == 382)
                StartTLS();
            else
                StartTLSNotOffered("STARTTLS");
        }
        if (!Username.empty()) {
            // 281 right after the user name means no password is wanted (RFC 4643 2.3).
            int code = FSession.Command("AUTHINFO USER " + Username).Code;
            if (code == 381)
                code = FSession.Command("AUTHINFO PASS " + Password).Code;
            if (code != 281)
                FSession.RaiseReplyError();
        }
    } catch (...) {
        FSession.Drop();
        throw;
    }
}

void TNNTPClient::Post(const TDataProducer& produce, std::int64_t expectedSize) {
    FSession.Begin();
    if (FSession.Command("POST").Code != 340)
        FSession.RaiseReplyError();
    if (OnWorkBegin)
        OnWorkBegin(expectedSize);
    FSession.SendDataBlock(produce, [this](std::int64_t sent) {
        if (OnWork)
            OnWork(sent);
    });
    if (FSession.ReadReply().Code != 240)
        FSession.RaiseReplyError("Posting the article to");
    if (OnWorkEnd)
        OnWorkEnd();
}

} // namespace zr::net
