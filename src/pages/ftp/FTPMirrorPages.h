// The five pages of the FTP mirror action; the retry and progress-logging pages move the mirror's
// stored option objects.
#pragma once

#include "pages/ftp/FTPActionPage.h"

#include <QCheckBox>
#include <QTableWidget>

namespace zr::pages {

class TFTPMirrorFrame : public TFTPActionPage {
    Q_OBJECT
public:
    explicit TFTPMirrorFrame(QWidget* owner);
    // The orphan switch, whose caption follows the direction.
    QCheckBox* DeleteCheck() const { return FDelete; }

private:
    QCheckBox* FDelete;
};

// The exclusions, one row per stored "Type=Value" line.
class TFTPMirrorExcludeFrame : public TFormPage {
    Q_OBJECT
public:
    explicit TFTPMirrorExcludeFrame(QWidget* owner);
    QTableWidget* Grid() const { return FGrid; }
    void AddExclusion(const QString& type, const QString& value);

private:
    QTableWidget* FGrid;
};

void RegisterFTPMirrorPages();

} // namespace zr::pages
