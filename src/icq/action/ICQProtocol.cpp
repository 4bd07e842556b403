// The package's ICQ protocol.
#include "icq/action/ZRICQAction.h"
#include "package/Protocol.h"

namespace zr {

const TProtocolDescriptor& ICQProtocol() {
    static const TProtocolDescriptor protocol{
        .Actions = {{&TICQAction::ClassInfo(), "HICQ", {"TICQFrame"}}},
    };
    return protocol;
}

} // namespace zr
