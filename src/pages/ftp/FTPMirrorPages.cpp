#include "pages/ftp/FTPMirrorPages.h"

#include <QComboBox>
#include <QHeaderView>
#include <QPushButton>
#include <limits>
#include <utility>

namespace zr::pages {

namespace {

constexpr int MaxInt = std::numeric_limits<int>::max();
const QStringList ExcludeTypes = {"File Name", "File Mask", "RegEx"};

std::pair<QString, QString> SplitExclusion(const QString& line) {
    const auto equals = line.indexOf('=');
    return equals < 0 ? std::pair{line, QString()} : std::pair{line.left(equals), line.mid(equals + 1)};
}

class TFTPMirrorOptFrame : public TFormPage {
public:
    explicit TFTPMirrorOptFrame(QWidget* owner) : TFormPage(owner, "Overwrite Behaviour") {
        auto& f = Fields();
        f.Check("Overwrite where CRC Hashes do not match", "CheckFileCRC");
        f.Row(f.NewText("Only available where FTP Server supports XCRC"));
        f.Check("Overwrite where file size is different", "CheckFileSize");
        f.Check("Overwrite where source is newer", "CheckFileDate");
        f.Check("Skip time skew check", "SkipSkewCheck");
        f.CheckedNumber("Keep connection alive with NO-OPs", "NOOPsEnabled", "NO-OP interval", "NOOPTimeoutMS", 0,
                        MaxInt, " milliseconds");
        // 0 lets the run choose; the spin box shows it as a word.
        f.Number("Parallel transfers:", "ParallelTransfers", 0, 8)->setSpecialValueText("Automatic");
        f.Number("Parallel listings:", "ParallelListings", 0, 8)->setSpecialValueText("Automatic");
        f.FinishTabOrder();
    }
};

class TFTPRetryOptFrame : public TFormPage {
public:
    explicit TFTPRetryOptFrame(QWidget* owner) : TFormPage(owner, "Retry Options") {
        BindToChild("TFTPRetryOptions");
        auto& f = Fields();
        f.Number("Max transfer retries: ", "TransferMaxRetries", 0, MaxInt);
        f.Check("Resume transfer on retry", "ResumeOnFailedTransfer");
        f.Check("Retry transfer on all errors", "RetryTransferOnAllErrors");
        f.CheckedNumber("Enable retry delay", "EnableRetryDelay", "Retry delay", "RetryDelay", 0, MaxInt,
                        " milliseconds");
        f.FinishTabOrder();
    }
};

class TFTPMirrorLoggingOptFrame : public TFormPage {
public:
    explicit TFTPMirrorLoggingOptFrame(QWidget* owner) : TFormPage(owner, "Progress Logging") {
        auto& f = Fields();
        BindToChild("TFTPLoggingOptions");
        f.Check("Enabled", "ProgressLoggingEnabled");
        f.Choice("Mode:", {"On Total Percentage", "On File Percentage", "On Time Elapsed"},
                 "ProgressLoggingMode");
        f.Number("Percentage interval:", "ProgressPercInterval", 0, MaxInt);
        f.Number("Milliseconds interval:", "ProgressMillisecondInterval", 0, MaxInt);
        BindToAction();
        f.Check("Log FTP commands (Detailed Logging)", "DetailedLogging");
        f.Check("Log file transfers", "LogFiles");
        f.Check("Log files that are excluded", "LogExcludedFiles");
        f.Check("Log source files found", "LogSourceFiles");
        f.Check("Log file differences found", "LogDifferences");
        BindToChild("TFTPLoggingOptions");
        f.Check("Log connection status changes", "LogConnectionStatus");
        BindToAction();
        f.Check("Log NO-OPs", "NOOPLogged");
        f.FinishTabOrder();
    }
};

} // namespace

TFTPMirrorFrame::TFTPMirrorFrame(QWidget* owner) : TFTPActionPage(owner, "FTP Mirror") {
    auto& f = Fields();
    const auto direction =
        f.Radios({"Mirror local to remote", "Mirror remote to local"}, {0, 1}, "MirrorOperation");
    f.Folder("Local directory:", "LocalDir", "Local Mirror Directory");
    auto* remote = f.Edit("Remote directory:", "RemoteDir");
    auto* current = f.CheckInverted("Use current directory of FTP connection", "SpecifyRemoteDir");
    connect(current, &QCheckBox::toggled, remote,
            [remote](bool useCurrent) { remote->setEnabled(!useCurrent); });
    f.Check("Recursive", "Recursive");
    FDelete = f.Check("Delete items on server that do not exist locally", "DeleteOrphans");
    connect(direction[1], &QRadioButton::toggled, FDelete, [this](bool remoteToLocal) {
        FDelete->setText(remoteToLocal ? "Delete local items that do not exist on server"
                                       : "Delete items on server that do not exist locally");
    });
    f.Check("Mirror empty directories", "IncludeEmptyDirs");
    f.Check("Mirror date && time", "MirrorDateTime");
    f.Check(AutoReconnectText, "AutoReConnect");
    f.FinishTabOrder();
}

TFTPMirrorExcludeFrame::TFTPMirrorExcludeFrame(QWidget* owner) : TFormPage(owner, "Include/Exclude Files") {
    auto& f = Fields();
    f.Check("Only mirror files with specific extension", "UseFileSpec");
    f.Edit("Extensions:", "FileSpec")
        ->setToolTip("Comma delimited list of file extensions, i.e. .cs,.sln,.csproj");
    FGrid = f.Track(new QTableWidget(0, 2, this));
    FGrid->setHorizontalHeaderLabels({"Exclude Type", "Exclude Value"});
    FGrid->horizontalHeader()->setStretchLastSection(true);
    FGrid->setAccessibleName("Exclusions");
    auto* add = f.Track(new QPushButton("Add", this));
    auto* remove = f.Track(new QPushButton("Delete", this));
    connect(add, &QPushButton::clicked, this, [this] { AddExclusion(ExcludeTypes.front(), {}); });
    connect(remove, &QPushButton::clicked, this, [this] {
        if (FGrid->currentRow() >= 0)
            FGrid->removeRow(FGrid->currentRow());
    });
    f.Row(FGrid);
    f.Row(f.Line({add, remove}));
    f.FinishTabOrder();

    // A line is kept as it was stored while its row is unchanged, so a line without "=" survives.
    Binder().Custom(
        [this](const quillate::TPersistent& o) {
            FGrid->setRowCount(0);
            const auto lines = std::get<quillate::TStringList>(o.GetPropertyValue("ExcludeList"));
            for (const auto& line : lines) {
                const QString text = QString::fromStdString(line);
                const auto [type, value] = SplitExclusion(text);
                AddExclusion(type, value);
                FGrid->item(FGrid->rowCount() - 1, 1)->setData(Qt::UserRole, text);
            }
        },
        [this](quillate::TPersistent& o) {
            quillate::TStringList lines;
            for (int row = 0; row < FGrid->rowCount(); ++row) {
                const std::pair<QString, QString> shown{
                    static_cast<QComboBox*>(FGrid->cellWidget(row, 0))->currentText(),
                    FGrid->item(row, 1)->text()};
                const QString stored = FGrid->item(row, 1)->data(Qt::UserRole).toString();
                const bool unchanged = !stored.isNull() && SplitExclusion(stored) == shown;
                lines.push_back((unchanged ? stored : shown.first + "=" + shown.second).toStdString());
            }
            o.SetPropertyValue("ExcludeList", lines);
        });
}

void TFTPMirrorExcludeFrame::AddExclusion(const QString& type, const QString& value) {
    const int row = FGrid->rowCount();
    FGrid->insertRow(row);
    auto* types = new QComboBox(FGrid);
    types->addItems(ExcludeTypes);
    // A type this version does not know is shown and kept as it is.
    if (!ExcludeTypes.contains(type))
        types->addItem(type);
    types->setCurrentText(type);
    FGrid->setCellWidget(row, 0, types);
    FGrid->setItem(row, 1, new QTableWidgetItem(value));
}

void RegisterFTPMirrorPages() {
    auto& classes = quillate::DesignClasses();
    classes.RegisterPage("TFTPMirrorFrame", [](QWidget* o) { return new TFTPMirrorFrame(o); });
    classes.RegisterPage("TFTPMirrorOptFrame", [](QWidget* o) { return new TFTPMirrorOptFrame(o); });
    classes.RegisterPage("TFTPMirrorExcludeFrame", [](QWidget* o) { return new TFTPMirrorExcludeFrame(o); });
    classes.RegisterPage("TFTPRetryOptFrame", [](QWidget* o) { return new TFTPRetryOptFrame(o); });
    classes.RegisterPage("TFTPMirrorLoggingOptFrame",
                         [](QWidget* o) { return new TFTPMirrorLoggingOptFrame(o); });
}

} // namespace zr::pages
