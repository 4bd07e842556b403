// The options dialog: a tab per option page of every registered option object (a generic form for an
// object without pages); OK writes the objects back and saves the options store.
#pragma once

#include <QDialog>

#include <memory>
#include <vector>

#include "design/DesignContract.h"

class QTabWidget;

namespace quillate::designer {

class TOptionsDialog : public QDialog {
    Q_OBJECT
public:
    explicit TOptionsDialog(QWidget* parent = nullptr);

    QTabWidget* Tabs() const { return FTabs; }
    // What OK does: every page writes into its option object, then the store saves the changed ones
    // (passwords encrypted by the store). Throws what the store throws.
    void Apply();

    void accept() override;

private:
    struct TPageOf {
        TOptionPage* Page;
        std::shared_ptr<TZROptionsObject> Options;
    };

    QTabWidget* FTabs;
    std::vector<TPageOf> FPages;
};

} // namespace quillate::designer
