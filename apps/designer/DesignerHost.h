// What the designer is to the packages it loads: the host whose designer is present.
#pragma once

#include <QIcon>

#include <string>

namespace quillate::designer {

// Loads the packages beside the program once, telling them the designer is present (so they register
// their pages), and adds the host's own pages that no package provides.
void LoadDesignerPackages();

// The palette image of that resource name; a blank 16-by-16 icon when no package has it.
QIcon PaletteIcon(const std::string& image);

} // namespace quillate::designer
