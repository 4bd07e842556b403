// A form of plain controls over published properties, for actions and option objects that have no
// pages of their own.
#pragma once

#include <QString>
#include <QWidget>

#include <vector>

#include "design/DesignContract.h"

namespace quillate::designer {

// A property that holds a password in clear text, by its name: its controls hide what is typed.
bool IsPasswordName(const std::string& name);

class TPropertyForm : public QWidget {
    Q_OBJECT
public:
    // One row per property: line edits for texts and wide numbers, check boxes for Booleans, spin
    // boxes for 32-bit integers, combo boxes of an enumeration's values, memos for string lists. Each
    // control's object name is its property's name.
    TPropertyForm(std::vector<const TPropertyInfo*> properties, QWidget* parent);

    // The stored, non-hidden properties of the table, except those named in `hidden`.
    static std::vector<const TPropertyInfo*> EditableProperties(const TPropertyTable& table,
                                                                const TStringList& hidden = {});

    void Read(const TPersistent& object);
    // Sets only the properties whose control the user changed since Read: a value that a control
    // cannot show exactly (an unknown enumeration value, a number that does not parse) stays as it was.
    void Write(TPersistent& object) const;

private:
    struct TField {
        const TPropertyInfo* Info;
        QWidget* Control;
        QString ReadState;
    };
    static QString State(const TField& field);
    static TPropertyValue ValueOf(const TField& field, bool& ok);

    std::vector<TField> FFields;
};

// The property page of an action without registered pages: its whole property table as one form.
class TGenericPropertyPage : public TPropertyPage {
    Q_OBJECT
public:
    TGenericPropertyPage(QString caption, std::vector<const TPropertyInfo*> properties, QWidget* owner);

    QString PageName() const override { return FCaption; }
    void ReadActionData(const TZRAction& action) override;
    void WriteActionData(TZRAction& action) override;

private:
    QString FCaption;
    TPropertyForm* FForm;
};

// The option page of an option object without registered pages.
class TGenericOptionPage : public TOptionPage {
    Q_OBJECT
public:
    TGenericOptionPage(const TMetaClass& cls, QWidget* owner);

    QString GetPageName() const override { return FCaption; }
    void ReadOptions(const TZROptionsObject& options) override;
    void WriteOptions(TZROptionsObject& options) override;

private:
    QString FCaption;
    TPropertyForm* FForm;
};

} // namespace quillate::designer
