#include "pages/mail/NNTPFrame.h"

#include "pages/FieldBindings.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

namespace zr::pages {

TNNTPFrame::TNNTPFrame(QWidget* owner) : TBoundPage(owner, "NNTP") {
    auto* host = new QLineEdit;
    auto* port = NewPortSpin();
    auto* login = new QCheckBox("Login");
    auto* user = new QLineEdit;
    auto* password = new QLineEdit;
    auto* groups = new QLineEdit;
    auto* address = new QLineEdit;
    auto* sender = new QLineEdit;
    auto* replyTo = new QLineEdit;
    auto* timeout = NewSpin();
    Form()->addRow("Host:", host);
    Form()->addRow("Port:", port);
    Form()->addRow(login);
    Form()->addRow("Username:", user);
    Form()->addRow("Password:", password);
    Form()->addRow("Newsgroups:", groups);
    Form()->addRow(new QLabel("Separate multiple newsgroups with comma"));
    Form()->addRow("Sender email address:", address);
    Form()->addRow("Sender name:", sender);
    Form()->addRow("Reply to:", replyTo);
    Form()->addRow("Timeout in seconds (0 = no timeout):", timeout);

    Binder().Text(host, "NewsServer");
    Binder().Number(port, "Port");
    Binder().Check(login, "Login");
    Binder().Text(user, "UserName");
    Binder().Password(password, "Token");
    Binder().Text(groups, "Groups");
    Binder().Text(address, "EmailAddress");
    Binder().Text(sender, "SenderName");
    Binder().Text(replyTo, "ReplyTo");
    Binder().Number(timeout, "TimeOut");
    auto enableLogin = [user, password](bool on) {
        user->setEnabled(on);
        password->setEnabled(on);
    };
    connect(login, &QCheckBox::toggled, this, enableLogin);
    enableLogin(false);
}

} // namespace zr::pages
