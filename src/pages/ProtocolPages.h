// Each protocol's pages, option pages and property editors, registered with the designer under their
// class names: Register<Name>Pages() in the protocol's pages folder, for every protocol of the
// package's list.
#pragma once

#include "package/ZRInternetReg.h"

namespace zr::pages {

#define ZR_DECLARE_PAGES(NAME) void Register##NAME##Pages();
ZR_PACKAGE_PROTOCOLS(ZR_DECLARE_PAGES)
#undef ZR_DECLARE_PAGES

} // namespace zr::pages
