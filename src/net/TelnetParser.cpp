#include "net/TelnetParser.h"

#include <cstring>
#include <libtelnet.h>
#include <new>

namespace zr::net {

namespace {

// We echo nothing ourselves but let the server echo and suppress go-ahead both ways: that is the
// character-at-a-time mode ordinary servers expect before they send a prompt. Every other option
// (terminal type, window size, environment, compression, ...) is refused by libtelnet's answer for
// options missing from this table.
const telnet_telopt_t Options[] = {
    {TELNET_TELOPT_ECHO, TELNET_WONT, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {-1, 0, 0},
};

} // namespace

TTelnetParser::TTelnetParser() : FTelnet(telnet_init(Options, &TTelnetParser::OnEvent, 0, this)) {
    if (FTelnet == nullptr)
        throw std::bad_alloc();
}

TTelnetParser::~TTelnetParser() {
    telnet_free(FTelnet);
}

void TTelnetParser::OnEvent(telnet_t*, telnet_event_t* event, void* self) {
    auto& parser = *static_cast<TTelnetParser*>(self);
    switch (event->type) {
    case TELNET_EV_DATA:
        if (parser.FReceiving && !parser.FDroppingSubnegotiation)
            parser.FReceiving->Data.append(event->data.buffer, event->data.size);
        break;
    case TELNET_EV_IAC:
        if (event->iac.cmd == TELNET_SE)
            parser.FDroppingSubnegotiation = false;
        break;
    case TELNET_EV_SEND:
        if (parser.FSending)
            parser.FSending->append(event->data.buffer, event->data.size);
        else if (parser.FReceiving)
            parser.FReceiving->Answers.append(event->data.buffer, event->data.size);
        break;
    case TELNET_EV_ERROR:
    case TELNET_EV_WARNING:
        // Past its buffer libtelnet hands the rest of a subnegotiation on as data, up to its IAC SE. It says
        // so in a warning whose code is not always set, so its text is looked at too.
        if (event->error.errcode == TELNET_EOVERFLOW ||
            (event->error.msg != nullptr &&
             std::strstr(event->error.msg, "subnegotiation buffer") != nullptr))
            parser.FDroppingSubnegotiation = true;
        if (parser.FReceiving && parser.FReceiving->Fault.empty())
            parser.FReceiving->Fault = event->error.msg != nullptr ? event->error.msg : "protocol error";
        break;
    default: // negotiations are answered by libtelnet itself; subnegotiations of refused options are dropped
        break;
    }
}

TTelnetParser::TReceived TTelnetParser::Receive(std::string_view bytes) {
    TReceived received;
    FReceiving = &received;
    telnet_recv(FTelnet, bytes.data(), bytes.size());
    FReceiving = nullptr;
    return received;
}

std::string TTelnetParser::EncodeLine(std::string_view line) {
    std::string wire;
    FSending = &wire;
    telnet_send(FTelnet, line.data(), line.size());
    telnet_send(FTelnet, "\r\n", 2);
    FSending = nullptr;
    return wire;
}

} // namespace zr::net
