// "Options" of the Telnet script action: the server and the credentials its script may send.
#pragma once

#include "pages/BoundPage.h"

namespace zr::pages {

class TZRTelnetOptFrame : public TBoundPage {
    Q_OBJECT
public:
    explicit TZRTelnetOptFrame(QWidget* owner);
};

} // namespace zr::pages
