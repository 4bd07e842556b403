// The pages that edit the e-mail action's four address lists, and the address list dialog that
// the property inspector opens on the same frame.
#pragma once

#include "pages/BoundPage.h"
#include "pages/mail/AddressObjects.h"

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QRadioButton>
#include <QTableWidget>
#include <string>
#include <vector>

namespace zr::pages {

// What tells the four lists apart: the names their page and editor are registered under, the
// page's caption and the action's properties and list that hold the list's source.
struct TAddressRole {
    const char* PageClass;
    const char* EditorClass;
    const char* Caption;
    const char* ListType;
    const char* SourceProperty;
    const char* FileProperty;
    const char* VariableProperty;
};

const std::vector<TAddressRole>& AddressRoles();

// The address source ("Specify" with the grid, "Load from file", "Load from variable") and the
// list itself. The grid is written back whole: the action gets a new list in place of the old.
class TAddressListBaseFrame : public TBoundPage {
    Q_OBJECT
public:
    TAddressListBaseFrame(QWidget* owner, const TAddressRole& role);

    void DoInitPage(quillate::TZRAction& action, const quillate::IDesignProject& project) override;

    std::vector<TAddressRow> Rows() const;
    void SetRows(const std::vector<TAddressRow>& rows);
    // Appends the file's entries to the grid; false (after telling the user) when it cannot be read.
    bool ImportFile(const QString& path);
    bool ExportFile(const QString& path);

private:
    void AppendRow(const TAddressRow& row);
    void AddRow();
    void DeleteRow();
    void EditField();
    void Browse();

    const TAddressRole& FRole;
    QRadioButton* FSpecify;
    QRadioButton* FFromFile;
    QRadioButton* FFromVariable;
    QTableWidget* FGrid;
    QLineEdit* FFile;
    QComboBox* FVariable;
};

// "Email Address List": the frame of one list in a dialog of its own.
class TAddressListEditor : public QDialog {
    Q_OBJECT
public:
    TAddressListEditor(QWidget* parent, const TAddressRole& role);
    TAddressListBaseFrame* Frame() const { return FFrame; }

private:
    TAddressListBaseFrame* FFrame;
};

// The address list pages and their property editors, under their class names.
void RegisterAddressListClasses();

} // namespace zr::pages
