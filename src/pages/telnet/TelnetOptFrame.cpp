#include "pages/telnet/TelnetOptFrame.h"

#include "pages/FieldBindings.h"

#include <QLineEdit>

namespace zr::pages {

TZRTelnetOptFrame::TZRTelnetOptFrame(QWidget* owner) : TBoundPage(owner, "Options") {
    auto* host = new QLineEdit;
    auto* port = NewSpin();
    auto* user = new QLineEdit;
    auto* password = new QLineEdit;
    Form()->addRow("Host:", host);
    Form()->addRow("Port:", port);
    Form()->addRow("User name:", user);
    Form()->addRow("Password:", password);
    Binder().Text(host, "Host");
    Binder().Number(port, "Port");
    Binder().Text(user, "UserName");
    Binder().Password(password, "EncryptedPassword");
}

} // namespace zr::pages
