// The package's registrations with the host, in the order the host expects them.
#pragma once

namespace zr {

// Registers every action, option object, stored class and script name; pages only with the designer.
void RegisterPackage(bool designer);

} // namespace zr
