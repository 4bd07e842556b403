// The design-time contract between the designer and the pages a package provides: property pages of
// actions, option pages of option objects and editors of single properties. A package registers the
// names of its page classes with the action and options services; the library that implements them
// registers a factory for each name here, and the designer creates pages by those names.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/Persistent.h"

namespace quillate {

class TZRAction;
class TZROptionsObject;

// What a page may ask of the project being edited.
class IDesignProject {
public:
    virtual ~IDesignProject() = default;
    // The names of the project objects of this category that the project's actions provide
    // (TZRAction::GetProvidedProjectObjects), in project order, without duplicates.
    virtual TStringList ProjectObjectNames(const std::string& category) const = 0;
    // The project's variables and file sets, for the pages that offer them in a list.
    virtual TStringList VariableNames() const = 0;
    virtual TStringList FileSetNames() const = 0;
};

// One tab of an action's property dialog. The dialog calls DoInitPage, then ReadActionData, shows the
// page; on OK it calls Validate on every page and, when all pass, WriteActionData.
class TPropertyPage : public QWidget {
    Q_OBJECT
public:
    explicit TPropertyPage(QWidget* owner) : QWidget(owner) {}

    virtual QString PageName() const = 0;
    // Refills the lists that depend on the project (connection names, variables) before the page is shown.
    virtual void DoInitPage(TZRAction& action, const IDesignProject& project);
    virtual void ReadActionData(const TZRAction& action) = 0;
    virtual void WriteActionData(TZRAction& action) = 0;
    // False when the page's values are unacceptable; the page has then shown its message.
    virtual bool Validate();
    // A line of help about the page, shown by the dialog; empty for none.
    virtual QString GetHint() const;
};

// One page of the designer's options dialog, for one registered option object.
class TOptionPage : public QWidget {
    Q_OBJECT
public:
    explicit TOptionPage(QWidget* owner) : QWidget(owner) {}

    virtual QString GetPageName() const = 0;
    // Called each time the page becomes the visible one.
    virtual void OnPageActivate();
    virtual void ReadOptions(const TZROptionsObject& options) = 0;
    virtual void WriteOptions(TZROptionsObject& options) = 0;
};

// Edits one property of an action in the designer's property inspector: either through a list of
// values (Values not empty: the inspector shows a drop-down and calls SetValue with the chosen text)
// or through a dialog (Edit). GetValue is what the inspector shows for the property: the current
// choice, or for a dialog the text that stands for what it edits ("(Memo)").
class TPropertyEditor {
public:
    virtual ~TPropertyEditor() = default;
    virtual QStringList Values() const;
    virtual QString GetValue(const TZRAction& action, const std::string& property) const;
    virtual void SetValue(TZRAction& action, const std::string& property, const QString& value);
    // Opens the editor's dialog; true when the user accepted and the property was changed.
    virtual bool Edit(QWidget* parent, TZRAction& action, const std::string& property);
};

// The page, option page and property editor classes known by name, as packages register them.
class TDesignClassRegistry {
public:
    using TPageFactory = std::function<TPropertyPage*(QWidget* owner)>;
    using TOptionPageFactory = std::function<TOptionPage*(QWidget* owner)>;
    using TEditorFactory = std::function<std::unique_ptr<TPropertyEditor>()>;

    void RegisterPage(const std::string& className, TPageFactory factory);
    void RegisterOptionPage(const std::string& className, TOptionPageFactory factory);
    void RegisterEditor(const std::string& className, TEditorFactory factory);

    // nullptr when no class of that name is registered; the page is owned by `owner`.
    TPropertyPage* CreatePage(const std::string& className, QWidget* owner) const;
    TOptionPage* CreateOptionPage(const std::string& className, QWidget* owner) const;
    std::unique_ptr<TPropertyEditor> CreateEditor(const std::string& className) const;

    TStringList PageNames() const;
    TStringList OptionPageNames() const;
    TStringList EditorNames() const;

private:
    std::map<std::string, TPageFactory> FPages;
    std::map<std::string, TOptionPageFactory> FOptionPages;
    std::map<std::string, TEditorFactory> FEditors;
};

TDesignClassRegistry& DesignClasses();

// The entry point a pages library exports; the package calls it after loading the library.
extern "C" {
using TZRRegisterPagesProc = void (*)();
}
inline constexpr const char* RegisterPagesProcName = "ZRRegisterPages";

} // namespace quillate
