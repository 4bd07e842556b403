// The Telnet protocol of one connection without any I/O: received bytes in, the data they carry and
// the answers owed to the server out (libtelnet underneath).
#pragma once

#include <string>
#include <string_view>

struct telnet_t;
union telnet_event_t;

namespace zr::net {

class TTelnetParser {
public:
    struct TReceived {
        // The bytes the server sent as data, IAC escapes undone, commands and subnegotiations removed.
        std::string Data;
        // Negotiation answers to send back, in order.
        std::string Answers;
        // A protocol fault libtelnet reported (it resynchronises and goes on); empty when none.
        std::string Fault;
    };

    TTelnetParser();
    ~TTelnetParser();
    TTelnetParser(const TTelnetParser&) = delete;
    TTelnetParser& operator=(const TTelnetParser&) = delete;

    // A sequence cut between two calls is finished by the next one.
    TReceived Receive(std::string_view bytes);
    // The line as it goes on the wire: 0xFF doubled, CR LF added.
    std::string EncodeLine(std::string_view line);

private:
    static void OnEvent(telnet_t* telnet, telnet_event_t* event, void* self);

    telnet_t* FTelnet = nullptr;
    TReceived* FReceiving = nullptr;
    std::string* FSending = nullptr;
    // A subnegotiation overflowed libtelnet's buffer: what it hands on as data is dropped up to IAC SE.
    bool FDroppingSubnegotiation = false;
};

} // namespace zr::net
