#include "design/DesignContract.h"

#include <QStringList>

#include "design/WaitOptionsFrame.h"

namespace quillate {

void TPropertyPage::DoInitPage(TZRAction&, const IDesignProject&) {}
bool TPropertyPage::Validate() { return true; }
QString TPropertyPage::GetHint() const { return {}; }

void TOptionPage::OnPageActivate() {}

QStringList TPropertyEditor::Values() const { return {}; }
QString TPropertyEditor::GetValue(const TZRAction&, const std::string&) const { return {}; }
void TPropertyEditor::SetValue(TZRAction&, const std::string&, const QString&) {}
bool TPropertyEditor::Edit(QWidget*, TZRAction&, const std::string&) { return false; }

namespace {

template <class TMap>
TStringList KeysOf(const TMap& map) {
    TStringList names;
    for (const auto& entry : map)
        names.push_back(entry.first);
    return names;
}

} // namespace

void TDesignClassRegistry::RegisterPage(const std::string& className, TPageFactory factory) {
    FPages[className] = std::move(factory);
}

void TDesignClassRegistry::RegisterOptionPage(const std::string& className, TOptionPageFactory factory) {
    FOptionPages[className] = std::move(factory);
}

void TDesignClassRegistry::RegisterEditor(const std::string& className, TEditorFactory factory) {
    FEditors[className] = std::move(factory);
}

TPropertyPage* TDesignClassRegistry::CreatePage(const std::string& className, QWidget* owner) const {
    auto found = FPages.find(className);
    return found == FPages.end() ? nullptr : found->second(owner);
}

TOptionPage* TDesignClassRegistry::CreateOptionPage(const std::string& className, QWidget* owner) const {
    auto found = FOptionPages.find(className);
    return found == FOptionPages.end() ? nullptr : found->second(owner);
}

std::unique_ptr<TPropertyEditor> TDesignClassRegistry::CreateEditor(const std::string& className) const {
    auto found = FEditors.find(className);
    return found == FEditors.end() ? nullptr : found->second();
}

TStringList TDesignClassRegistry::PageNames() const { return KeysOf(FPages); }
TStringList TDesignClassRegistry::OptionPageNames() const { return KeysOf(FOptionPages); }
TStringList TDesignClassRegistry::EditorNames() const { return KeysOf(FEditors); }

TDesignClassRegistry& DesignClasses() {
    static TDesignClassRegistry registry = [] {
        TDesignClassRegistry hostPages;
        RegisterHostPages(hostPages);
        return hostPages;
    }();
    return registry;
}

} // namespace quillate
