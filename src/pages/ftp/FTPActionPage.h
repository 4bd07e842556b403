// The base of every page of an FTP action that names a connection: the connection list cbConnection
// first, and the lists of project variables and file sets the page offers, refilled from the
// project each time the page opens.
#pragma once

#include "pages/common/FormPage.h"

#include <vector>

namespace zr::pages {

class TFTPActionPage : public TFormPage {
    Q_OBJECT
public:
    TFTPActionPage(QWidget* owner, QString caption);

    void DoInitPage(quillate::TZRAction& action, const quillate::IDesignProject& project) override;
    // After the action's connection name is shown: a name the list does not hold gives way to the
    // only connection of the project, when there is exactly one.
    void ReadActionData(const quillate::TZRAction& action) override;

protected:
    QComboBox* VariableCombo(const QString& label, std::string property);
    QComboBox* FileSetCombo(const QString& label, std::string property);
    // The two switches most FTP operations end with.
    void AddReconnectAndLogging(bool withLogging = true);

private:
    // Named "cbConnection", the name the designer and tests find it by.
    QComboBox* FConnection;
    std::vector<QComboBox*> FVariableCombos;
    std::vector<QComboBox*> FFileSetCombos;
};

// Replaces a name list's entries, leaving nothing selected.
void FillNames(QComboBox* combo, const quillate::TStringList& names);

inline constexpr const char* AutoReconnectText = "Auto reconnect if disconnected.";
inline constexpr const char* DetailedLoggingText = "Detailed FTP logging";

} // namespace zr::pages
