// The pages, option page and property editors of the e-mail, news, HTTP, Telnet and ICQ actions.
#pragma once

namespace zr::pages {

// Registers them with the designer under their class names.
void RegisterOtherPages();

} // namespace zr::pages
