// The package's HTTP protocol.
#include "package/Protocol.h"
#include "web/ZRInetGetHTTPAction.h"

namespace zr {

const TProtocolDescriptor& WebProtocol() {
    static const TProtocolDescriptor protocol{
        .Actions = {{&TZRInetHTTPGetAction::ClassInfo(), "ZRHTTP", {"TInetHTTPGetFrame", "THTTPProxyFrame"}}},
    };
    return protocol;
}

} // namespace zr
