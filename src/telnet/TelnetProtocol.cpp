// The package's Telnet protocol.
#include "package/Protocol.h"
#include "telnet/ZRTelnetClient.h"

namespace zr {

const TProtocolDescriptor& TelnetProtocol() {
    static const TProtocolDescriptor protocol{
        .Actions = {{&TTelnetClientAction::ClassInfo(), "ZRTELNET", {"TZRTelnetOptFrame", "TZRTelnetScrptFrame"}}},
        .StoredClasses = {&TTelnetScriptItem::ClassInfo()},
    };
    return protocol;
}

} // namespace zr
