#include "package/ZRInternetReg.h"

#include "host/Options.h"
#include "host/Registration.h"
#include "host/Serialization.h"
#include "package/Protocol.h"

namespace zr {

namespace {

#define ZR_LIST_PROTOCOL(NAME) &NAME##Protocol,
const TProtocolDescriptor& (*const Protocols[])() = {ZR_PACKAGE_PROTOCOLS(ZR_LIST_PROTOCOL)};
#undef ZR_LIST_PROTOCOL

constexpr const char* InternetCategory = "Internet";

void Register(const TProtocolDescriptor& protocol, bool designer) {
    for (const auto& action : protocol.Actions) {
        quillate::ActionService().RegisterAction(InternetCategory, *action.Class, action.Image);
        if (designer && !action.Pages.empty())
            quillate::ActionService().RegisterPropertyPages(*action.Class, action.Pages);
    }
    RegisterProtocolOptions(protocol);
    if (designer)
        for (const auto& options : protocol.Options)
            quillate::OptionsService().RegisterOptionPages(*options.Class, options.Pages);
    for (const auto* stored : protocol.StoredClasses)
        quillate::TSerializationRegistry::RegisterClass(*stored);
    if (protocol.RegisterScriptNames)
        protocol.RegisterScriptNames();
    if (designer && protocol.RegisterEditors)
        protocol.RegisterEditors();
}

} // namespace

void RegisterProtocolOptions(const TProtocolDescriptor& protocol) {
    for (const auto& options : protocol.Options)
        quillate::OptionsService().RegisterOptions(*options.Class, options.Image);
}

void RegisterPackage(bool designer) {
    for (const auto protocol : Protocols)
        Register(protocol(), designer);
}

} // namespace zr
