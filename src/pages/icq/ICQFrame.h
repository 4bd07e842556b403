// "Send ICQ Message": the sender's account, the recipients (ICQ numbers or telephone numbers for
// SMS), the text and the login server.
#pragma once

#include "pages/BoundPage.h"

namespace zr::pages {

class TICQFrame : public TBoundPage {
    Q_OBJECT
public:
    explicit TICQFrame(QWidget* owner);
};

} // namespace zr::pages
