#include "pages/web/HTTPGetFrame.h"

#include "pages/FieldBindings.h"

#include <QLineEdit>
#include <QRadioButton>

namespace zr::pages {

TInetHTTPGetFrame::TInetHTTPGetFrame(QWidget* owner)
    : TBoundPage(owner, "HTTP Get File"), FVariable(NewEditableCombo({})) {
    auto* url = new QLineEdit;
    auto* port = NewSpin();
    auto* user = new QLineEdit;
    auto* password = new QLineEdit;
    auto* toFile = new QRadioButton("Save to file");
    auto* file = new QLineEdit;
    auto* fileLabel = new QLabel;
    auto* serverName = new QCheckBox("Use server filename");
    auto* overwrite = new QCheckBox("Overwrite existing file");
    auto* toVariable = new QRadioButton("Save to variable");
    auto* checkOnly = new QRadioButton("Just check that file exists");
    auto* redirects = new QCheckBox("Accept && process redirects (3xx responses)");
    Form()->addRow("URL:", url);
    Form()->addRow("Port:", port);
    Form()->addRow("Username:", user);
    Form()->addRow("Password:", password);
    Form()->addRow(toFile);
    Form()->addRow(fileLabel, file);
    Form()->addRow(serverName);
    Form()->addRow(overwrite);
    Form()->addRow(toVariable);
    Form()->addRow("Variable:", FVariable);
    Form()->addRow(new QLabel("If the variable does not exist, it will be created"));
    Form()->addRow(checkOnly);
    Form()->addRow(redirects);

    Binder().Text(url, "URL");
    Binder().Number(port, "Port");
    Binder().Text(user, "Username");
    Binder().Password(password, "Cookie");
    // The buttons in the order of the stored values: check only, file, variable.
    Binder().Radio({checkOnly, toFile, toVariable}, "DownloadTo");
    Binder().Text(file, "DownloadToFile");
    Binder().Check(serverName, "UseServerFileName");
    Binder().Check(overwrite, "OverwriteFile");
    Binder().ComboText(FVariable, "DownloadToVar");
    Binder().Check(redirects, "AcceptRedirects");

    // With the server's file name the edit names the folder the file goes to.
    auto relabel = [fileLabel](bool folder) {
        fileLabel->setText(folder ? "Save to Directory" : "Save to File");
    };
    connect(serverName, &QCheckBox::toggled, this, relabel);
    relabel(false);
}

void TInetHTTPGetFrame::DoInitPage(quillate::TZRAction&, const quillate::IDesignProject& project) {
    Refill(FVariable, project.VariableNames());
}

} // namespace zr::pages
