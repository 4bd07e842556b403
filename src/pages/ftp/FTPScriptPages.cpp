#include "pages/ftp/FTPScriptPages.h"

#include "host/Action.h"

#include <utility>
#include <vector>

namespace zr::pages {

namespace {

struct TStepKind {
    const char* Caption;
    const char* StoredType;
    // The description's pieces: a text, then the value of a property.
    std::vector<std::pair<const char*, const char*>> Description;
};

const std::vector<TStepKind>& StepKinds() {
    static const std::vector<TStepKind> kinds = {
        {"Change Directory", "ftp.script.changedir", {{"Directory : ", "RemoteDir"}}},
        {"Change Directory Up", "ftp.script.changeup", {}},
        {"Create Directory", "ftp.script.makedir", {{"Directory : ", "RemoteDir"}}},
        {"Delete Directory", "ftp.script.deletedir", {{"Directory : ", "RemoteDir"}}},
        {"Delete File", "ftp.script.deltefile", {{"File : ", "RemoteFile"}}},
        {"Download File", "ftp.script.downloadfile", {{"From : ", "RemoteFile"}, {" : To : ", "LocalFile"}}},
        {"Get Current Directory", "ftp.script.getcurrentdir", {{"Into Variable : ", "VariableName"}}},
        {"Get File Size",
         "ftp.script.filesize",
         {{"File : ", "RemoteFile"}, {" Into Variable : ", "VariableName"}}},
        {"List Directory",
         "ftp.script.listdir",
         {{"File : ", "Spec"}, {" Into Variable : ", "VariableName"}}},
        {"Rename File", "ftp.script.renamefile", {{"From : ", "RemoteFile"}, {" : To : ", "NewName"}}},
        {"Upload File", "ftp.script.uploadfile", {{"From : ", "LocalFile"}, {" : To : ", "RemoteFile"}}},
    };
    return kinds;
}

const TStepKind* KindOf(const quillate::TSerializableObject& item) {
    for (const auto& kind : StepKinds())
        if (item.GetClass().StoredType() == kind.StoredType)
            return &kind;
    return nullptr;
}

bool Has(const quillate::TSerializableObject& item, const char* property) {
    return item.Properties().Find(property) != nullptr;
}

} // namespace

QString FTPStepKind(const quillate::TSerializableObject& item) {
    const auto* kind = KindOf(item);
    return kind ? kind->Caption : QString::fromStdString(item.ClassName());
}

QString FTPStepDescription(const quillate::TSerializableObject& item) {
    QString text;
    if (const auto* kind = KindOf(item))
        for (const auto& [prefix, property] : kind->Description)
            text += prefix + QString::fromStdString(std::get<std::string>(item.GetPropertyValue(property)));
    return text;
}

TFTPItemEditForm::TFTPItemEditForm(QWidget* parent, const quillate::TSerializableObject& item)
    : TItemDialog(parent, FTPStepKind(item)) {
    auto& f = Fields();
    const std::vector<std::pair<const char*, const char*>> edits = {
        {"Remote file :", "RemoteFile"}, {"Directory :", "RemoteDir"}, {"New name :", "NewName"},
        {"Local file :", "LocalFile"},   {"File spec :", "Spec"},      {"Into variable :", "VariableName"}};
    for (const auto& [label, property] : edits)
        if (Has(item, property))
            f.Edit(label, property);
    if (Has(item, "Details"))
        f.Check("Detailed listing", "Details");
    f.Check("Ignore errors", "IgnoreError");
    // Downloads inherit the size switch from uploads, but only uploads compare sizes.
    if (Has(item, "CompareFileSize") && item.GetClass().StoredType() == "ftp.script.uploadfile")
        f.Check("Compare file size", "CompareFileSize");
    f.Check("Enabled", "Enabled");
    Finish();
}

namespace {

std::vector<TScriptGrid::TKind> GridKinds() {
    std::vector<TScriptGrid::TKind> kinds;
    for (const auto& kind : StepKinds())
        kinds.push_back({kind.Caption, kind.StoredType});
    return kinds;
}

} // namespace

TFTPScriptFrame::TFTPScriptFrame(QWidget* owner)
    : TScriptPage(
          owner, {"Action", "Description"}, GridKinds(), "TFTPScriptItem",
          [](const quillate::TSerializableObject& item) {
              return QStringList{FTPStepKind(item), FTPStepDescription(item)};
          },
          [](QWidget* parent, quillate::TSerializableObject& item) {
              return TFTPItemEditForm(parent, item).Edit(item);
          }) {}

void RegisterFTPScriptPages() {
    quillate::DesignClasses().RegisterPage("TFTPScriptFrame",
                                           [](QWidget* o) { return new TFTPScriptFrame(o); });
}

} // namespace zr::pages
