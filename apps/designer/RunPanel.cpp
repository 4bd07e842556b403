#include "RunPanel.h"

#include <QFontDatabase>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QVBoxLayout>

#include <csignal>
#include <ctime>

#include "host/Log.h"
#include "host/Registration.h"

namespace quillate::designer {

namespace {

constexpr int StderrTag = stError;

QColor TagColour(int tag) {
    switch (tag) {
    case stSuccess: return QColor(0, 128, 0);
    case stWarning: return QColor(176, 112, 0);
    case stError: return QColor(192, 0, 0);
    default: return QColor(0, 0, 0);
    }
}

TStatusTag TagOf(const QString& name) {
    for (TStatusTag tag : {stInformation, stSuccess, stWarning, stError})
        if (name == StatusTagName(tag))
            return tag;
    return stInformation;
}

// The record's local time "YYYY-MM-DDTHH:MM:SS.mmm" back as a time point, so that the line is shown
// exactly as the text log writes it.
std::chrono::system_clock::time_point TimeOf(const QString& text) {
    std::tm local{};
    if (!strptime(text.left(19).toStdString().c_str(), "%Y-%m-%dT%H:%M:%S", &local))
        return std::chrono::system_clock::now();
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

} // namespace

TRunPanel::TRunPanel(QWidget* parent)
    : QWidget(parent), FLog(new QListWidget(this)), FProgress(new QProgressBar(this)), FStatus(new QLabel(this)) {
    FLog->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    FLog->setUniformItemSizes(true);
    FProgress->setRange(0, 100);
    FProgress->setValue(0);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FLog);
    layout->addWidget(FProgress);
    layout->addWidget(FStatus);
    connect(&FProcess, &QProcess::readyReadStandardOutput, this, &TRunPanel::ReadOutput);
    connect(&FProcess, &QProcess::readyReadStandardError, this, [this] {
        for (const QByteArray& line : FProcess.readAllStandardError().split('\n'))
            if (!line.isEmpty())
                AddLine(QString::fromUtf8(line), StderrTag);
    });
    connect(&FProcess, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        ReadOutput();
        FStatus->setText(status == QProcess::NormalExit ? tr("Finished with exit code %1").arg(exitCode)
                                                        : tr("The run was killed"));
        emit Finished(status == QProcess::NormalExit ? exitCode : -1);
    });
    connect(&FProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            FStatus->setText(tr("Cannot start %1").arg(QuillateProgram()));
            emit Finished(-1);
        }
    });
}

QString TRunPanel::QuillateProgram() {
    return QString::fromStdString((ExecutableDirectory() / "quillate").string());
}

void TRunPanel::Start(const QString& projectFile, const QString& optionsFile) {
    if (IsRunning())
        return;
    FLog->clear();
    FPending.clear();
    FProgress->setValue(0);
    FStatus->setText(tr("Running %1").arg(projectFile));
    QStringList arguments{"run", "--log-format", "jsonl", projectFile};
    if (!optionsFile.isEmpty())
        arguments << "--options" << optionsFile;
    FProcess.start(QuillateProgram(), arguments);
    emit Started();
}

void TRunPanel::Stop() {
    if (IsRunning() && FProcess.processId() > 0)
        ::kill(static_cast<pid_t>(FProcess.processId()), SIGINT);
}

QStringList TRunPanel::Lines() const {
    QStringList lines;
    for (int i = 0; i < FLog->count(); ++i)
        lines << FLog->item(i)->text();
    return lines;
}

void TRunPanel::ReadOutput() {
    FPending += FProcess.readAllStandardOutput();
    qsizetype end;
    while ((end = FPending.indexOf('\n')) >= 0) {
        ShowRecord(FPending.left(end));
        FPending.remove(0, end + 1);
    }
}

void TRunPanel::ShowRecord(const QByteArray& line) {
    QJsonObject record = QJsonDocument::fromJson(line).object();
    if (record.isEmpty()) {
        AddLine(QString::fromUtf8(line), stInformation);
        return;
    }
    if (record.contains("progress")) {
        int percent = record.value("progress").toInt();
        FProgress->setValue(percent < 0 ? 0 : std::min(percent, 100));
        FProgress->setFormat(record.value("text").toString() + "  %p%");
        return;
    }
    TLogEntry entry;
    entry.Time = TimeOf(record.value("time").toString());
    entry.Action = record.value("action").toString().toStdString();
    entry.Tag = TagOf(record.value("tag").toString());
    entry.Text = record.value("text").toString().toStdString();
    entry.Group = record.value("group").toInt();
    QString text = QString::fromStdString(TTextLogSink::Format(entry, false));
    for (const QString& shown : text.split('\n', Qt::SkipEmptyParts))
        AddLine(shown, entry.Tag);
}

void TRunPanel::AddLine(const QString& text, int tag) {
    auto* item = new QListWidgetItem(text, FLog);
    item->setForeground(TagColour(tag));
    FLog->scrollToBottom();
}

} // namespace quillate::designer
