// "HTTP Get File": the address, its credentials and where the body goes.
#pragma once

#include "pages/BoundPage.h"

#include <QCheckBox>
#include <QLabel>

namespace zr::pages {

class TInetHTTPGetFrame : public TBoundPage {
    Q_OBJECT
public:
    explicit TInetHTTPGetFrame(QWidget* owner);

    void DoInitPage(quillate::TZRAction& action, const quillate::IDesignProject& project) override;

private:
    QComboBox* FVariable;
};

} // namespace zr::pages
