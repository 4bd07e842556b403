// The pages of the message itself, which the e-mail and the news action share where they have the
// same properties (sender, body, attachments), and the e-mail action's property editors.
#pragma once

#include "pages/BoundPage.h"

#include <QComboBox>
#include <QDialog>
#include <QPlainTextEdit>

namespace zr::pages {

// "Sender": the sending mode and the from, sender and receipt recipient addresses.
class TEmailWhoFrame : public TBoundPage {
    Q_OBJECT
public:
    explicit TEmailWhoFrame(QWidget* owner);

private:
    void AddAddressRow(const QString& label, const std::string& role, const char* property);
};

// "Message": subject, body, character set; the plain alternative and the priority only for the
// actions that have them.
class TBodyFrame : public TBoundPage {
    Q_OBJECT
public:
    explicit TBodyFrame(QWidget* owner);
};

// "Attach": one attachment path or expression a line.
class TAttachmentsFrame : public TBoundPage {
    Q_OBJECT
public:
    explicit TAttachmentsFrame(QWidget* owner);
    // What the browse button does with the files the user chose: one line, the paths separated by ",".
    void AddFiles(const QStringList& files);

private:
    QPlainTextEdit* FFiles;
};

// "Message Body": the body text in a dialog of its own.
class TBodyEditor : public QDialog {
    Q_OBJECT
public:
    explicit TBodyEditor(QWidget* parent);
    QPlainTextEdit* Memo() const { return FMemo; }

private:
    QPlainTextEdit* FMemo;
};

// The message pages and the e-mail action's property editors, under their class names.
void RegisterMessageClasses();

} // namespace zr::pages
