#include "design/WaitOptionsFrame.h"

#include "host/Action.h"

#include <QFormLayout>
#include <algorithm>
#include <limits>
#include <variant>

namespace quillate {

namespace {

QSpinBox* NewSeconds(QWidget* owner, const QString& label) {
    auto* spin = new QSpinBox(owner);
    spin->setRange(0, std::numeric_limits<int>::max());
    spin->setAccessibleName(label);
    return spin;
}

void ShowNumber(QSpinBox* spin, const TZRAction& action, const char* property, std::int64_t& stored) {
    stored = std::get<std::int64_t>(action.GetPropertyValue(property));
    spin->setValue(static_cast<int>(std::clamp<std::int64_t>(stored, spin->minimum(), spin->maximum())));
}

void StoreNumber(const QSpinBox* spin, TZRAction& action, const char* property, std::int64_t stored) {
    const bool untouched =
        spin->value() == std::clamp<std::int64_t>(stored, spin->minimum(), spin->maximum());
    action.SetPropertyValue(property, untouched ? stored : std::int64_t{spin->value()});
}

} // namespace

TWaitOptionsFrame::TWaitOptionsFrame(QWidget* owner) : TPropertyPage(owner) {
    auto* form = new QFormLayout(this);
    FPollFreq = NewSeconds(this, "Check every (seconds):");
    FWaitTimeout = NewSeconds(this, "Wait at most (seconds, 0 = no limit):");
    FFailIfTimedOut = new QCheckBox("Fail if the wait times out", this);
    form->addRow(FPollFreq->accessibleName(), FPollFreq);
    form->addRow(FWaitTimeout->accessibleName(), FWaitTimeout);
    form->addRow(FFailIfTimedOut);
}

void TWaitOptionsFrame::ReadActionData(const TZRAction& action) {
    ShowNumber(FPollFreq, action, "PollFreq", FStoredPollFreq);
    ShowNumber(FWaitTimeout, action, "WaitTimeout", FStoredWaitTimeout);
    FFailIfTimedOut->setChecked(std::get<bool>(action.GetPropertyValue("FailIfTimedOut")));
}

void TWaitOptionsFrame::WriteActionData(TZRAction& action) {
    StoreNumber(FPollFreq, action, "PollFreq", FStoredPollFreq);
    StoreNumber(FWaitTimeout, action, "WaitTimeout", FStoredWaitTimeout);
    action.SetPropertyValue("FailIfTimedOut", FFailIfTimedOut->isChecked());
}

void RegisterHostPages(TDesignClassRegistry& registry) {
    registry.RegisterPage("TWaitOptionsFrame", [](QWidget* owner) { return new TWaitOptionsFrame(owner); });
}

} // namespace quillate
