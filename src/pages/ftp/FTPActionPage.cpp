#include "pages/ftp/FTPActionPage.h"

namespace zr::pages {

void FillNames(QComboBox* combo, const quillate::TStringList& names) {
    combo->clear();
    for (const auto& name : names)
        combo->addItem(QString::fromStdString(name));
    combo->setCurrentIndex(-1);
}

TFTPActionPage::TFTPActionPage(QWidget* owner, QString caption) : TFormPage(owner, std::move(caption)) {
    FConnection = Fields().NameCombo("FTP connection:", "ConnectionName");
    FConnection->setObjectName("cbConnection");
}

void TFTPActionPage::DoInitPage(quillate::TZRAction&, const quillate::IDesignProject& project) {
    FillNames(FConnection, project.ProjectObjectNames("FTPConnection"));
    for (auto* combo : FVariableCombos)
        FillNames(combo, project.VariableNames());
    for (auto* combo : FFileSetCombos)
        FillNames(combo, project.FileSetNames());
}

void TFTPActionPage::ReadActionData(const quillate::TZRAction& action) {
    TFormPage::ReadActionData(action);
    const int index =
        FConnection->findText(FConnection->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        FConnection->setCurrentIndex(index);
    else if (FConnection->count() == 1)
        FConnection->setCurrentIndex(0);
}

QComboBox* TFTPActionPage::VariableCombo(const QString& label, std::string property) {
    FVariableCombos.push_back(Fields().NameCombo(label, std::move(property)));
    return FVariableCombos.back();
}

QComboBox* TFTPActionPage::FileSetCombo(const QString& label, std::string property) {
    FFileSetCombos.push_back(Fields().NameCombo(label, std::move(property)));
    return FFileSetCombos.back();
}

void TFTPActionPage::AddReconnectAndLogging(bool withLogging) {
    Fields().Check(AutoReconnectText, "AutoReConnect");
    if (withLogging)
        Fields().Check(DetailedLoggingText, "DetailedLogging");
}

} // namespace zr::pages
