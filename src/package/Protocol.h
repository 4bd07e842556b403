// What one protocol brings to the package. Each protocol folder defines its descriptor; the package
// registers the descriptors of its list (ZRInternetReg.cpp) in order, so the palette, the option
// pages and every other registration follow that list.
#pragma once

#include <vector>

#include "host/Persistent.h"

namespace zr {

struct TProtocolAction {
    const quillate::TMetaClass* Class;
    // The palette image: the name of an SVG in src/package/images.
    const char* Image;
    // The action's property pages in tab order, by the names the pages library registers them under.
    quillate::TStringList Pages;
};

struct TProtocolOptions {
    const quillate::TMetaClass* Class;
    const char* Image;
    quillate::TStringList Pages;
};

struct TProtocolDescriptor {
    // In palette order.
    std::vector<TProtocolAction> Actions = {};
    std::vector<TProtocolOptions> Options = {};
    // Classes stored in projects besides the actions: list items, option parts, actions kept out of
    // the palette.
    std::vector<const quillate::TMetaClass*> StoredClasses = {};
    // Script constants, enums and methods; nullptr when there are none.
    void (*RegisterScriptNames)() = nullptr;
    // Property editors, registered only with the designer; nullptr when there are none.
    void (*RegisterEditors)() = nullptr;
};

// The protocol's option objects, for a host (or a test) that needs them without the rest.
void RegisterProtocolOptions(const TProtocolDescriptor& protocol);

} // namespace zr
