// Runs the saved project with the quillate beside the designer and shows its log as it comes, in
// the command line's own text form, coloured by status, with the progress the run reports.
#pragma once

#include <QProcess>
#include <QStringList>
#include <QWidget>

class QLabel;
class QListWidget;
class QProgressBar;

namespace quillate::designer {

class TRunPanel : public QWidget {
    Q_OBJECT
public:
    explicit TRunPanel(QWidget* parent = nullptr);

    // Starts `quillate run --log-format jsonl FILE` (with --options when a store is given); the log
    // of an earlier run is cleared.
    void Start(const QString& projectFile, const QString& optionsFile = {});
    // Asks the run to stop as Ctrl+C would (SIGINT).
    void Stop();
    bool IsRunning() const { return FProcess.state() != QProcess::NotRunning; }

    // The log lines shown so far.
    QStringList Lines() const;
    QProgressBar* ProgressBar() const { return FProgress; }
    static QString QuillateProgram();

signals:
    void Started();
    void Finished(int exitCode);

private:
    void ReadOutput();
    void ShowRecord(const QByteArray& line);
    void AddLine(const QString& text, int tag);

    QProcess FProcess;
    QByteArray FPending;
    QListWidget* FLog;
    QProgressBar* FProgress;
    QLabel* FStatus;
};

} // namespace quillate::designer
