// Registers every FTP page, the FTP options page, the HTTP proxy page and the Telnet script page
// with the designer's class registry.
#pragma once

namespace zr::pages {

void RegisterFTPPages();

} // namespace zr::pages
