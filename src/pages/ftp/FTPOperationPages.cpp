#include "pages/ftp/FTPOperationPages.h"

#include <QButtonGroup>
#include <algorithm>
#include <cstdint>
#include <limits>

namespace zr::pages {

namespace {

constexpr int MaxInt = std::numeric_limits<int>::max();

// One field of a one-operation page: an edit, a variable list or a check box.
struct TOperationField {
    enum TKind { fkEdit, fkVariable, fkCheck } Kind;
    const char* Text;
    const char* Property;
    const char* Hint = nullptr;
};

// The one-operation pages differ only in their fields; they all open with the connection and most
// end with the reconnect and logging switches.
struct TOperationPageInfo {
    const char* ClassName;
    const char* Caption;
    std::vector<TOperationField> Fields;
    bool Reconnect = true;
    bool Logging = true;
};

const std::vector<TOperationPageInfo>& OperationPages() {
    using F = TOperationField;
    static const std::vector<TOperationPageInfo> pages = {
        {"TFTPChangeDirFrame", "Change remote directory", {{F::fkEdit, "Remote directory:", "RemoteDir"}}},
        {"TFTPChangeUpFrame", "Change up directory", {}},
        {"TFTPCreateDirFrame",
         "Create directory",
         {{F::fkEdit, "New directory name:", "NewDirectory"},
          {F::fkCheck, "Do not fail if directory already exists", "NoFailIfDirExists"}}},
        {"TFTPDeleteDirFrame",
         "Delete directory",
         {{F::fkEdit, "Directory name:", "Directory"},
          {F::fkCheck, "Recursively delete subdirectories and files", "Recursive"}}},
        {"TFTPDeleteFileFrame", "Delete file", {{F::fkEdit, "Filename:", "FileName"}}},
        {"TFTPDisconnectFrame", "FTP Disconnect", {}, false, false},
        {"TFTPGetFileSizeFrame",
         "Get file size",
         {{F::fkEdit, "Filename:", "FileName"}, {F::fkVariable, "Variable:", "ZRVariable"}}},
        {"TFTPGetRemoteDirFrame", "Get remote directory", {{F::fkVariable, "Variable:", "ZRVariable"}}},
        {"TFTPListDirFrame",
         "List directory",
         {{F::fkEdit, "File spec:", "FileSpec", "To only list directories, use a blank File spec"},
          {F::fkVariable, "Variable:", "ZRVariable"},
          {F::fkCheck, "Log listing to log", "ListToZRLog"},
          {F::fkCheck, "Detailed listing", "DetailedListing"}}},
        {"TFTPNoopFrame", "No-op", {}, false, true},
        {"TFTPRenameFileFrame",
         "Rename file",
         {{F::fkEdit, "Filename:", "FileName"}, {F::fkEdit, "New name:", "NewName"}}},
        {"TFTPSendCMDFrame",
         "Send CMD Options",
         {{F::fkEdit, "Command:", "TheCMD"}, {F::fkEdit, "Valid response code:", "ResponseCode"}}},
    };
    return pages;
}

class TFTPOperationPage : public TFTPActionPage {
public:
    TFTPOperationPage(QWidget* owner, const TOperationPageInfo& info) : TFTPActionPage(owner, info.Caption) {
        for (const auto& field : info.Fields) {
            QWidget* widget = nullptr;
            switch (field.Kind) {
            case TOperationField::fkEdit:
                widget = Fields().Edit(field.Text, field.Property);
                break;
            case TOperationField::fkVariable:
                widget = VariableCombo(field.Text, field.Property);
                break;
            case TOperationField::fkCheck:
                widget = Fields().Check(field.Text, field.Property);
                break;
            }
            if (field.Hint) {
                widget->setToolTip(field.Hint);
                FHint = field.Hint;
            }
        }
        if (info.Reconnect)
            AddReconnectAndLogging(info.Logging);
        else if (info.Logging)
            Fields().Check(DetailedLoggingText, "DetailedLogging");
        Fields().FinishTabOrder();
    }
    QString GetHint() const override { return FHint; }

private:
    QString FHint;
};

class TFTPCheckIfConnectedFrame : public TFTPActionPage {
public:
    explicit TFTPCheckIfConnectedFrame(QWidget* owner) : TFTPActionPage(owner, "If Connected") {
        Fields().Radios({"Fail action", "Reconnect and run child actions"}, {1, 0}, "FailIfNotConnected");
        Fields().FinishTabOrder();
    }
};

class TFTPDownloadFileFrame : public TFTPActionPage {
public:
    explicit TFTPDownloadFileFrame(QWidget* owner) : TFTPActionPage(owner, "Download file") {
        auto& f = Fields();
        f.Edit("Filename:", "FileName");
        f.Folder("Directory:", "DownloadDir", "Select download directory");
        const auto naming = f.Radios({"Use remote filename", "Specify filename"}, {1, 0}, "UseFileName");
        auto* name = f.Edit("Local filename:", "DownloadFileName");
        QObject::connect(naming[1], &QRadioButton::toggled, name, &QWidget::setEnabled);
        name->setEnabled(false);
        f.Check("Allow resume", "AllowResume");
        f.Check("Allow overwrite", "AllowOverwrite");
        AddReconnectAndLogging();
        f.FinishTabOrder();
    }
};

class TFTPWaitForFileFrame : public TFTPActionPage {
public:
    explicit TFTPWaitForFileFrame(QWidget* owner) : TFTPActionPage(owner, "Wait For File") {
        auto& f = Fields();
        f.Edit("File:", "FileName");
        f.Radios({"Wait for file to exist", "Wait for file to not exist", "Wait for file to change",
                  "Wait for file to stop changing"},
                 {0, 1, 2, 3}, "WaitType");
        f.Check("Fail if the file doesn't exist", "FailIfDoesntExist");
        AddReconnectAndLogging(false);
        f.FinishTabOrder();
    }
};

class TFTPUploadFileFrame : public TFTPActionPage {
public:
    explicit TFTPUploadFileFrame(QWidget* owner) : TFTPActionPage(owner, "Upload file") {
        auto& f = Fields();
        const auto source = f.NewRadios({"File spec", "FileSet"}, {1, 0}, "UseFileSpec");
        // The file spec fields sit under their radio button, the file set list under its own.
        f.Row(source[0]);
        std::vector<QWidget*> specFields = {
            f.Edit("File spec:", "FileSpec"),
            f.Folder("Local directory:", "LocalDir", "Select upload directory"),
            f.Check("Recursive", "Recursive")};
        f.Row(source[1]);
        QWidget* fileSet = FileSetCombo("File set:", "FileSetName");
        auto enable = [specFields, fileSet](bool useSpec) {
            for (auto* field : specFields)
                field->setEnabled(useSpec);
            fileSet->setEnabled(!useSpec);
        };
        QObject::connect(source[0], &QRadioButton::toggled, this, enable);
        QObject::connect(source[1], &QRadioButton::toggled, this, [enable](bool useSet) { enable(!useSet); });
        f.Edit("Remote filename:", "RemoteFile")->setToolTip("Used only when a single file is uploaded");
        f.Check("Check size of files uploaded", "CheckFileSizes");
        f.Check("Retry uploading a file if it fails", "RetryIfUploadFails");
        f.CheckedNumber("Maximum upload speed:", "ThrottleUpload", "Maximum upload speed", "ThrottleSpeed", 4, MaxInt,
                        " kilobytes/sec");
        AddReconnectAndLogging();
        f.FinishTabOrder();
    }
};

// The server clock skew is stored as signed minutes, positive when the server is ahead of us.
class TFTPUploadUpdateFrame : public TFormPage {
public:
    explicit TFTPUploadUpdateFrame(QWidget* owner) : TFormPage(owner, "Update Options") {
        auto& f = Fields();
        f.Check("Update only (upload only new files and files which have changed since the last update.)",
                "UpdateOnly");
        auto* hours = f.Track(new QSpinBox(this));
        hours->setRange(0, MaxSkewHours);
        hours->setAccessibleName("Server clock skew hours");
        hours->setSuffix(" hours");
        auto* minutes = f.Track(new QSpinBox(this));
        minutes->setRange(0, 59);
        minutes->setAccessibleName("Server clock skew minutes");
        minutes->setSuffix(" minutes");
        auto* ahead = f.Track(new QRadioButton("Ahead", this));
        auto* behind = f.Track(new QRadioButton("Behind", this));
        auto* direction = new QButtonGroup(this);
        direction->addButton(ahead);
        direction->addButton(behind);
        f.Row("Server clock skew:", f.Line({hours, minutes, ahead, behind}));
        Binder().Custom(
            [hours, minutes, ahead, behind](const quillate::TPersistent& o) {
                const auto skew = std::get<std::int64_t>(o.GetPropertyValue("ServerClockSkew"));
                const auto size = skew < 0 ? -skew : skew;
                hours->setValue(static_cast<int>(size / 60));
                minutes->setValue(static_cast<int>(size % 60));
                (skew < 0 ? behind : ahead)->setChecked(true);
            },
            [hours, minutes, behind](quillate::TPersistent& o) {
                const std::int64_t size = std::int64_t{hours->value()} * 60 + minutes->value();
                const std::int64_t skew = behind->isChecked() ? -size : size;
                o.SetPropertyValue("ServerClockSkew",
                                   std::clamp<std::int64_t>(skew, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
            });
        f.Check("Update automatically after each upload", "AutoUpdateSkew");
        f.Check("Reset clock skew value after  next upload", "ForceNextClockSkewUpdate");
        f.CheckedNumber("Upload anyway if the file is less than", "AllowGap", "Gap length in minutes", "GapLength", 0,
                        MaxInt, " minutes older than server version.");
        f.FinishTabOrder();
    }

private:
    // Enough hours for every 32-bit count of minutes, either way.
    static constexpr int MaxSkewHours =
        static_cast<int>(-(std::int64_t{std::numeric_limits<std::int32_t>::min()}) / 60);
};

} // namespace

void RegisterFTPOperationPages() {
    auto& classes = quillate::DesignClasses();
    for (const auto& info : OperationPages())
        classes.RegisterPage(info.ClassName,
                             [&info](QWidget* owner) { return new TFTPOperationPage(owner, info); });
    classes.RegisterPage("TFTPCheckIfConnectedFrame",
                         [](QWidget* o) { return new TFTPCheckIfConnectedFrame(o); });
    classes.RegisterPage("TFTPDownloadFileFrame", [](QWidget* o) { return new TFTPDownloadFileFrame(o); });
    classes.RegisterPage("TFTPWaitForFileFrame", [](QWidget* o) { return new TFTPWaitForFileFrame(o); });
    classes.RegisterPage("TFTPUploadFileFrame", [](QWidget* o) { return new TFTPUploadFileFrame(o); });
    classes.RegisterPage("TFTPUploadUpdateFrame", [](QWidget* o) { return new TFTPUploadUpdateFrame(o); });
}

} // namespace zr::pages
