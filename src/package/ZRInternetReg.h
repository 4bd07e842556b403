// The package's registrations with the host: the descriptors of its protocols, in palette order.
#pragma once

#include "package/Protocol.h"

// The package's protocols in the order the palette lists their actions, each defined in its folder
// as <Name>Protocol(). Adding a protocol is its folder and its name here.
#define ZR_PACKAGE_PROTOCOLS(PROTOCOL) PROTOCOL(Email) PROTOCOL(Web) PROTOCOL(Telnet) PROTOCOL(ICQ) PROTOCOL(News) PROTOCOL(FTP)

namespace zr {

#define ZR_DECLARE_PROTOCOL(NAME) const TProtocolDescriptor& NAME##Protocol();
ZR_PACKAGE_PROTOCOLS(ZR_DECLARE_PROTOCOL)
#undef ZR_DECLARE_PROTOCOL

// Registers every protocol's actions, option objects, stored classes and script names; pages and
// editors only with the designer.
void RegisterPackage(bool designer);

} // namespace zr
