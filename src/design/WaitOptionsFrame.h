// The host's own page for the actions built on the wait-action base: how often the condition is
// polled, how long the wait may take and whether running out of time fails the action. Every
// package may name it among an action's pages.
#pragma once

#include "design/DesignContract.h"

#include <QCheckBox>
#include <QSpinBox>
#include <cstdint>

namespace quillate {

class TWaitOptionsFrame : public TPropertyPage {
    Q_OBJECT
public:
    explicit TWaitOptionsFrame(QWidget* owner);

    QString PageName() const override { return "Wait Options"; }
    void ReadActionData(const TZRAction& action) override;
    void WriteActionData(TZRAction& action) override;

private:
    QSpinBox* FPollFreq;
    QSpinBox* FWaitTimeout;
    QCheckBox* FFailIfTimedOut;
    // The values as stored, written back when a box still shows them clamped to its range.
    std::int64_t FStoredPollFreq = 0;
    std::int64_t FStoredWaitTimeout = 0;
};

// The host's own pages, registered with the class registry when it is first used.
void RegisterHostPages(TDesignClassRegistry& registry);

} // namespace quillate
