// "NNTP": the news server, the login and the poster of the news action.
#pragma once

#include "pages/BoundPage.h"

namespace zr::pages {

class TNNTPFrame : public TBoundPage {
    Q_OBJECT
public:
    explicit TNNTPFrame(QWidget* owner);
};

} // namespace zr::pages
